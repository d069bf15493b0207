#pragma once

#include <string>
#include <string_view>

#include "common/inside.h"

namespace kiv::ctl {

/// The two spellings of the path-check message: "del" and "rem" use the
/// lower-case one, "dow" and "rename" the capitalised one.
enum class PathMessage { lower_case, capitalised };

/// Ends the request when `path` contains "/..", with the path as detail.
void check_path(std::string_view path, PathMessage spelling);

/// Ends the request with the capitalised path-check message and `detail`
/// when the relative name `name` would lead out of the directory it is
/// joined to: a ".." component anywhere, the first one included.
void check_inside(std::string_view name, std::string_view detail);

/// Ends the request with the path-check message of `spelling` and `detail`
/// when `name`, relative to the download directory, leads out of it once
/// links are followed (resolves_inside): a link inside may not take a
/// command elsewhere.
void check_reach(std::string_view name, Reach reach, PathMessage spelling,
                 std::string_view detail);

/// The web server's lock file: no command makes a file of that name.
inline constexpr std::string_view kLockFileName = ".htpasswd";

/// Ends the request when the last component of `name` is kLockFileName or
/// a temporary file's name (common/temporary.h).
void check_not_lock_file(std::string_view name, std::string_view detail);

/// The symbolic name that answers a failed file-system call ("EACCESS" for
/// EACCES, one text for EEXIST and ENOTEMPTY).
std::string error_name(int error);

/// Ends the request with error_name(error) and the path concerned.
[[noreturn]] void error_answer(int error, std::string_view path);

}  // namespace kiv::ctl
