#pragma once

#include <optional>
#include <string>
#include <string_view>

// What a wget job log tells about the file the job writes.
namespace kiv {

/// Longest "Saving to:" line looked for, its line feed counted; a longer
/// one counts as none.
inline constexpr size_t kSavingLineLength = 4200;

/// The first complete line of the log read through `fd` that begins with
/// wget's "Saving to: ", line feed included; "" when there is none; nothing
/// when the log cannot be read. That first line names the job's own file:
/// every later start of the job continues that same file.
std::optional<std::string> first_saving_line(int fd);

/// Longest "Length:" line looked for, its line feed counted.
inline constexpr size_t kLengthLineLength = 200;

/// The last complete line of the log read through `fd` that begins with
/// wget's "Length: ", line feed included: the size of the file the latest
/// run fetches. "" when there is none; nothing when the log cannot be read.
std::optional<std::string> last_length_line(int fd);

/// The file name in a "Saving to:" line, as wget quotes it in the C locale
/// ('NAME', with \\, \' and \ooo escapes) or a UTF-8 one (‘NAME’); nothing
/// when the line is anything else or the name is "-" (standard output).
std::optional<std::string> saved_name(std::string_view line);

}  // namespace kiv
