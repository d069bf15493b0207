#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

namespace kiv {

/// System-log identity, banner name and the name in the release notice.
inline constexpr const char* kProgramName = "kiv";
/// Compared with the published version.
inline constexpr std::string_view kVersion = "0.4.0";
/// The daemon spawns one worker per period.
inline constexpr unsigned kCyclePeriodSeconds = 60;
/// Files the daemon and its workers create get at most rwxr-xr-x, whatever
/// the starter's umask; every file another program relies on is created
/// with an explicit mode anyway.
inline constexpr mode_t kDaemonUmask = 022;

/// Build-time values: the release page and the banner's contact line.
extern const char* const kReleasePage;
extern const char* const kContact;

/// The seven lines the starter prints before it leaves.
std::string banner();

/// Leaves the controlling terminal: new session, working directory
/// the job directory (when configured), standard streams on /dev/null.
/// Failing steps are skipped silently.
void daemon_detach();

/// The daemon's error exit: "<message><detail>" on standard output (and the
/// system log, as a worker's output is /dev/null), then status 0. Ends only
/// the calling worker.
[[noreturn]] void daemon_fail(std::string_view message, std::string_view detail);

/// One maintenance pass as a worker runs it: check_version on the release
/// page, then trim_job_logs.
void worker_pass();

/// The whole program: set kDaemonUmask, close inherited descriptors above
/// 2, log "starting", read the configuration in search mode (an error ends
/// the starter with status 1), print the banner in the starter and exit,
/// detach, write the pid file, resume the interrupted transfers (in the
/// background), run the cycle.
int kivd_main(int argc, char** argv);

}  // namespace kiv
