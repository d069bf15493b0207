#include "common/process.h"

#include <cerrno>
#include <climits>
#include <sys/wait.h>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "common/text.h"

namespace kiv {

std::string transfer_pid(std::string_view job_log) {
  std::string_view program;
  if (job_log.find(".wgt") != std::string_view::npos)
    program = "wget";
  else if (job_log.find(".tor") != std::string_view::npos)
    program = "ctorrent";
  else
    return "";

  const std::string& trkdir = config().trkdir;
  if (chdir(trkdir.c_str()) != 0) {
    // The record is opened by its full path below anyway.
  }
  std::string record(job_log);
  cut_at_last(record, '.');
  std::optional<std::string> content = read_file(trkdir + record);
  if (!content) return "";
  std::string pid = content->substr(0, std::min(content->find('\n'), kPidTextLength));

  // Only a plain process number: "self" or "1/task/1" would name other
  // processes, and callers go on to signal the number.
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
      pid[0] == '0')
    return "";

  std::string link = "/proc/" + pid + "/exe";
  char target[PATH_MAX];
  ssize_t length = readlink(link.c_str(), target, sizeof target);
  if (length < 0) return "";
  std::string_view exe(target, size_t(length));
  if (exe.substr(exe.rfind('/') + 1) != program) return "";
  return pid;
}

int background_fork() {
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    pid_t grandchild = fork();
    if (grandchild < 0) _exit(errno);
    if (grandchild == 0) return 0;
    _exit(0);
  }
  int status;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFSIGNALED(status)) {
    errno = EINTR;
    return -1;
  }
  if (WEXITSTATUS(status) == 0) return 1;
  errno = WEXITSTATUS(status);
  return -1;
}

}  // namespace kiv
