#pragma once

#include <string>
#include <string_view>

#include "common/inside.h"

namespace kiv::ctl {

/// The symbolic name that answers a failed file-system call ("EACCESS" for
/// EACCES, one text for EEXIST and ENOTEMPTY).
std::string error_name(int error);

/// Ends the request with error_name(error) and the path concerned.
[[noreturn]] void error_answer(int error, std::string_view path);

}  // namespace kiv::ctl
