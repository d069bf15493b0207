#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "dow": a file of the download directory sent to the browser.
namespace kiv::ctl {

/// The file is copied in blocks of this size when the kernel cannot move it.
inline constexpr size_t kDownloadBlock = 4096;

/// The inode number a request names: leading blanks, an optional "+", then
/// decimal digits, as unsigned 64 bits. Anything else (no digits, a "-",
/// more than 64 bits) gives 0, which no file has.
uint64_t parse_inode(std::string_view text);

/// `name` for the quoted filename of a Content-disposition line: `"` and
/// `\` get a backslash, CR and LF are dropped, so the name cannot end the
/// quote or the header line.
std::string disposition_name(std::string_view name);

/// "dow": streams the entry of FORM_curdir whose inode number is `file`.
[[noreturn]] void dow_command(const std::string& file, const std::string& para);

/// Sends `directory` + `name` (a regular file) as a download: the header
/// block with its length, then exactly that many bytes, streamed. Ends the
/// process; failures answer with `name`.
[[noreturn]] void send_file(const std::string& directory, const std::string& name);

}  // namespace kiv::ctl
