#pragma once

#include <string>
#include <string_view>

namespace kiv {

/// A job record's first line (the process number) is read up to this length.
inline constexpr size_t kPidTextLength = 9;

/// The process number of the live transfer behind `job_log` (a name in the
/// job directory ending in ".wgt" for wget or ".tor" for ctorrent), or ""
/// when the recorded number is not a running process of that program.
/// Side effect: for a name of a known kind the working directory becomes
/// the job directory.
std::string transfer_pid(std::string_view job_log);

/// Detaches by double fork: 0 in the background process, 1 in the caller
/// once it is on its own, -1 with errno on failure.
int background_fork();

}  // namespace kiv
