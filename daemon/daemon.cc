#include "daemon/daemon.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <ctime>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/origin.h"
#include "common/process.h"
#include "common/queue_settings.h"
#include "common/shell.h"
#include "common/text.h"
#include "daemon/queue.h"
#include "daemon/resume.h"
#include "daemon/trim.h"
#include "daemon/version_check.h"

namespace kiv {

const char* const kReleasePage = KIV_RELEASE_PAGE;
const char* const kContact = KIV_CONTACT;

namespace {

void reopen(int target, int flags) {
  int fd = open("/dev/null", flags | O_CLOEXEC);
  if (fd < 0) return;
  dup2(fd, target);
  if (fd != target) close(fd);
}

/// Closes every descriptor above standard error: whatever the starting shell
/// or boot script left open (a pipe, a terminal) would otherwise stay open
/// for ever in the daemon and in every worker and transfer it starts.
void close_inherited_descriptors() {
  if (close_range(STDERR_FILENO + 1, UINT_MAX, 0) == 0) return;
  // Kernels before 5.9: the open ones, as /proc lists them.
  // The scan's own descriptor is listed too; it is closed by then.
  auto fds = scan_directory("/proc/self/fd", ScanOrder::directory);
  if (!fds) return;
  for (const std::string& name : *fds)
    if (int fd = atoi(name.c_str()); fd > STDERR_FILENO) close(fd);
}

/// How long after a change of the job directory the queue looks again:
/// a transfer that closed its log may not have ended yet.
constexpr std::chrono::seconds kQueueRecheck{2};

/// When this daemon started.
time_t daemon_start = 0;

/// Whether the published copy is another daemon's to keep: a daemon of this
/// installation started since (its number written to the pid file after
/// our start) still runs, or the copy names another installation root.
bool published_by_another() {
  const Config& own = config();
  struct stat st;
  if (!own.pidfile.empty() && stat(own.pidfile.c_str(), &st) == 0 &&
      st.st_mtime >= daemon_start) {
    pid_t pid = pid_t(atol(read_file(own.pidfile).value_or("").c_str()));
    if (pid > 0 && pid != getpid() && (kill(pid, 0) == 0 || errno == EPERM)) return true;
  }
  Config copy;
  std::optional<std::string> text = read_file(kResolvedConfigPath);
  return text && !parse_config_text(copy, *text) && !copy.droo.empty() && copy.droo != own.droo;
}

/// Writes the configuration copy and the box's names again from this
/// daemon's own record: a removed one is back (every request fails
/// without the copy; the web server refuses the box's names without the
/// names), and whatever was written into them by hand lasts one cycle.
void republish() {
  if (!published_by_another()) write_resolved_config();
}

/// Whether the inotify events in `buffer` include the removal of a
/// published file.
bool published_file_removed(const char* buffer, ssize_t size) {
  for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= size;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
    if (event->len > 0)
      for (std::string_view path : {kResolvedConfigPath, kBoxNamesPath})
        if (event->name == path.substr(path.rfind('/') + 1)) return true;
    at += ssize_t(sizeof(inotify_event) + event->len);
  }
  return false;
}

/// A watch for the removal of the published files, or none (-1) without
/// inotify. Both files lie in the same directory.
UniqueFd watch_published_files() {
  std::string directory(kResolvedConfigPath);
  cut_at_last(directory, '/');
  UniqueFd watch(inotify_init1(IN_CLOEXEC));
  if (watch.valid() &&
      inotify_add_watch(watch.get(), directory.c_str(), IN_DELETE | IN_MOVED_FROM) < 0)
    watch = UniqueFd();
  return watch;
}

/// The mode of the hour the queue last ran in.
std::optional<HourMode> queue_hour;

/// How soon the queue looks again when a pass asks for it: within the
/// five seconds a freed slot may wait.
constexpr std::chrono::seconds kSeedingRecheck{3};

/// A queue pass, noting the hour's mode it ran in; what it asks of the next.
NextPass pass_queue() {
  queue_hour = hour_mode(read_queue_settings(), time(nullptr));
  return run_queue_pass();
}

/// Whether the schedule's mode has changed since the last queue pass.
bool hour_mode_changed() {
  return queue_hour != hour_mode(read_queue_settings(), time(nullptr));
}

/// How long until the next hour of local time begins, when the schedule
/// can change mode: counted in whole seconds, so never before it.
std::chrono::seconds until_next_hour() {
  time_t now = time(nullptr);
  struct tm local;
  if (!localtime_r(&now, &local)) return std::chrono::seconds(kCyclePeriodSeconds);
  // At least a second: a leap second reads as :60.
  return std::chrono::seconds(std::max(1, 3600 - local.tm_min * 60 - local.tm_sec));
}

/// Sleeps one cycle period; meanwhile a removed published file is written
/// again at once (without a watch, on the next cycle), and the queue runs
/// when the job directory changes (at once, and once more a moment later
/// for a transfer that was still ending), when an hour of another mode
/// begins, and within seconds again while a pass asks for it (`next` is
/// the last one's wish; the result, whether it is still due).
NextPass sleep_between_passes(const UniqueFd& watch, const UniqueFd& jobs, NextPass next) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point end = Clock::now() + std::chrono::seconds(kCyclePeriodSeconds);
  Clock::time_point hour_turn = Clock::now() + until_next_hour();
  // The next recheck; none pending at max().
  Clock::time_point again = Clock::time_point::max();
  auto pass = [&] {
    if (pass_queue() == NextPass::soon) again = std::min(again, Clock::now() + kSeedingRecheck);
  };
  if (next == NextPass::soon) again = Clock::now() + kSeedingRecheck;
  for (Clock::time_point now; (now = Clock::now()) < end;) {
    if (now >= again) {
      again = Clock::time_point::max();
      pass();
      continue;
    }
    if (now >= hour_turn) {
      hour_turn = now + until_next_hour();
      if (hour_mode_changed()) pass();
      continue;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    std::min({end, hour_turn, again}) - now)
                    .count();
    // Without a watch (fd -1) poll only sleeps; a signal must not shorten
    // the period.
    pollfd ready[] = {{watch.get(), POLLIN, 0}, {jobs.get(), POLLIN, 0}};
    if (poll(ready, 2, int(left)) <= 0) continue;
    if (ready[1].revents & POLLIN) {
      drain_watch(jobs);
      pass();
      again = std::min(again, Clock::now() + kQueueRecheck);
    }
    if (!(ready[0].revents & POLLIN)) continue;
    alignas(inotify_event) char buffer[4096];
    ssize_t size = read(watch.get(), buffer, sizeof buffer);
    if (size > 0 && published_file_removed(buffer, size)) republish();
  }
  // A recheck still due is carried into the next period.
  return again == Clock::time_point::max() ? NextPass::on_change : NextPass::soon;
}

}  // namespace

std::string banner() {
  const std::string stars = "*********************************\n";
  return "\n" + stars + kProgramName + " " + std::string(kVersion) + "\n" + kReleasePage +
         "\n" + kContact + "\n" + stars + kProgramName + " forking to background: bye...\n";
}

void daemon_detach() {
  setsid();
  const std::string& trkdir = config().trkdir;
  if (!trkdir.empty() && chdir(trkdir.c_str()) != 0) {
    // Skipped: the tasks name their files by full path.
  }
  reopen(STDIN_FILENO, O_RDONLY);
  reopen(STDOUT_FILENO, O_WRONLY);
  reopen(STDERR_FILENO, O_WRONLY);
}

void daemon_fail(std::string_view message, std::string_view detail) {
  syslog(LOG_ERR, "%.*s%.*s", int(message.size()), message.data(), int(detail.size()),
         detail.data());
  printf("%.*s%.*s\n", int(message.size()), message.data(), int(detail.size()), detail.data());
  fflush(stdout);
  exit(0);
}

void worker_pass() {
  check_version(kReleasePage);
  trim_job_logs();
}

/// Writes this process's number to `path` (atomically, mode 0644; in a
/// directory not ours, into the file there that is ours). False with errno.
static bool write_pid_file(const std::string& path) {
  std::string text = std::to_string(getpid()) + "\n";
  if (replace_file(path, text, 0644)) return true;
  // A programs directory that is not ours (root's, as a package installs
  // it): the file made ours there for the purpose is rewritten in place.
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    errno = EPERM;
    return false;
  }
  return ftruncate(fd.get(), 0) == 0 && write_all(fd.get(), text) && fd.close();
}

/// Spawns a detached worker running worker_pass every kCyclePeriodSeconds,
/// the first one at once. Each period, and at once when one is removed, it
/// writes the configuration copy and the box's names again from its own
/// record, unless a newer daemon (by the pid file) or another
/// installation's (by the copy's root) publishes them now. Never returns;
/// nothing a worker does reaches the caller.
[[noreturn]] static void run_cycle() {
  // Watched from before the first publication: no removal goes unseen.
  UniqueFd watch = watch_published_files();
  UniqueFd jobs = watch_job_directory();
  NextPass next = NextPass::on_change;
  for (;;) {
    republish();
    if (background_fork() == 0) {
      daemon_detach();
      try {
        worker_pass();
      } catch (...) {
        // Only this pass is lost; the daemon never sees it.
      }
      _exit(0);
    }
    // A new hour of another mode; without a watch, every cycle. After the
    // worker: the queue may wait for the resume at start to end.
    if (!jobs.valid() || hour_mode_changed()) next = pass_queue();
    next = sleep_between_passes(watch, jobs, next);
  }
}

int kivd_main(int argc, char** argv) {
  // Before anything is created: the download directory is made while the
  // configuration is read.
  umask(kDaemonUmask);
  daemon_start = time(nullptr);
  close_inherited_descriptors();
  setlocale(LC_ALL, "");
  openlog(kProgramName, LOG_PID, LOG_LOCAL5);
  syslog(LOG_INFO, "starting");
  // Read and checked whole while the starter can still tell: an error ends
  // it with status 1 and names the key and its line, never a banner.
  read_config(argc > 0 && argv[0] ? argv[0] : "kivd", ConfigMode::search);
  if (background_fork() == 1) {
    fputs(banner().c_str(), stdout);
    return 0;
  }
  // Here in the background process, or in the starter itself when no
  // background process could be made.
  daemon_detach();
  set_shell_failure(daemon_fail);
  const std::string& pidfile = config().pidfile;
  if (!pidfile.empty() && !write_pid_file(pidfile))
    syslog(LOG_ERR, "%s - %m", pidfile.c_str());
  // Once per start, beside the cycle: what was running when the box went
  // down continues.
  if (background_fork() == 0) {
    resume_at_start();
    _exit(0);
  }
  run_cycle();
}

}  // namespace kiv
