#pragma once

#include <string>
#include <string_view>

namespace kiv::ctl {

/// The two spellings of the path-check message: "del" and "rem" use the
/// lower-case one, "dow" and "rename" the capitalised one.
enum class PathMessage { lower_case, capitalised };

/// Ends the request when `path` contains "/..", with the path as detail.
void check_path(std::string_view path, PathMessage spelling);

/// The symbolic name that answers a failed file-system call ("EACCESS" for
/// EACCES, one text for EEXIST and ENOTEMPTY).
std::string error_name(int error);

/// Ends the request with error_name(error) and the path concerned.
[[noreturn]] void error_answer(int error, std::string_view path);

}  // namespace kiv::ctl
