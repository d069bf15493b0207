#pragma once

#include <string>
#include <string_view>

namespace kiv {

/// A job record's first line (the process number) is read up to this length.
inline constexpr size_t kPidTextLength = 9;

/// The option of aria2c's command line that names its job: the DHT file
/// in the job directory, the value a separate word.
inline constexpr std::string_view kAria2JobOption = "--dht-file-path";

/// The file (links resolved) of the program `configured` names: the path
/// itself, or for a bare name the first executable of that name the shell
/// would find on PATH; "" when there is none.
std::string program_path(const std::string& configured);

/// The aria2c program to run: the configured one, or "aria2c" on the search
/// path.
std::string aria2_program();

/// The process number of the live transfer behind `job_log` (a name in the
/// job directory; ".wgt" for wget, ".tor" for ctorrent and aria2c), or "": the number
/// in its record, while that process runs the configured program and its
/// command line names this job's files. A process number can be reused,
/// and a user's own wget is none of the box's business; whatever signals a
/// transfer asks this first.
/// Side effect: for a name of a known kind the working directory becomes
/// the job directory.
std::string transfer_pid(std::string_view job_log);

/// How long a start waits for the transfer it put in the background to
/// run its own program, in hundredths of a second.
inline constexpr int kProgramStartHundredths = 500;

/// Waits (at most kProgramStartHundredths) while process `pid`, which a
/// run_shell command put in the background ("PROGRAM ... & echo -n $!"),
/// is still that shell's copy: until its exec, transfer_pid takes it for
/// another program, and a second start of the same job would see nothing
/// running. Returns at once when the process is gone.
void await_program_start(const std::string& pid);

/// Detaches by double fork: 0 in the background process, 1 in the caller
/// once it is on its own, -1 with errno on failure.
int background_fork();

}  // namespace kiv
