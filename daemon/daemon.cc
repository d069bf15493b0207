#include "daemon/daemon.h"

#include <clocale>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/process.h"
#include "common/shell.h"
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
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return;
  std::vector<int> open_fds;
  while (const dirent* entry = readdir(fds)) {
    int fd = atoi(entry->d_name);
    if (fd > STDERR_FILENO && fd != dirfd(fds)) open_fds.push_back(fd);
  }
  closedir(fds);
  for (int fd : open_fds) close(fd);
}

void sleep_between_passes() {
  unsigned left = kCyclePeriodSeconds;
  while (left > 0) left = sleep(left);  // a signal must not shorten the period
}

}  // namespace

std::string banner() {
  const std::string stars = "*********************************\n";
  return "\n" + stars + kProgramName + " " + std::string(kVersion) + "\n" + kReleasePage +
         "\n" + kContact + "\n" + stars + kProgramName + " forking to background: bye...\n";
}

void daemon_detach() {
  umask(kDaemonUmask);
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

void run_cycle() {
  for (;;) {
    if (background_fork() == 0) {
      daemon_detach();
      try {
        worker_pass();
      } catch (...) {
        // Only this pass is lost; the daemon never sees it.
      }
      _exit(0);
    }
    sleep_between_passes();
  }
}

int kivd_main(int argc, char** argv) {
  close_inherited_descriptors();
  setlocale(LC_ALL, "");
  openlog(kProgramName, LOG_PID, LOG_LOCAL5);
  syslog(LOG_INFO, "starting");
  if (background_fork() == 1) {
    fputs(banner().c_str(), stdout);
    return 0;
  }
  // Here in the background process, or in the starter itself when no
  // background process could be made.
  daemon_detach();
  set_shell_failure(daemon_fail);
  read_config(argc > 0 && argv[0] ? argv[0] : "kivd", ConfigMode::search);
  run_cycle();
}

}  // namespace kiv
