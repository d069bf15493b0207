#include "common/process.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "common/job_record.h"

namespace kiv {

namespace {

/// What /bin/sh searches when PATH is unset.
constexpr std::string_view kShellDefaultPath =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

/// The target of /proc/<pid>/exe, without the mark of a replaced file (an
/// upgrade of wget while it runs), or "" when the process is gone.
std::string program_file(const std::string& pid) {
  char target[PATH_MAX];
  ssize_t length = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof target);
  if (length <= 0) return "";
  std::string file(target, size_t(length));
  if (file.ends_with(" (deleted)")) file.resize(file.size() - 10);
  return file;
}

std::string real_path(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : "";
}

/// Whether `file` is the program `configured` names.
bool is_configured_program(const std::string& file, const std::string& configured) {
  std::string path = program_path(configured);
  return !path.empty() && path == file;
}

/// Whether the words of `pid`'s command line hold `option` followed by `value`.
bool command_line_has(const std::string& pid, std::string_view option, std::string_view value) {
  std::optional<std::string> text = read_file("/proc/" + pid + "/cmdline");
  if (!text) return false;
  std::string_view rest = *text;
  std::string_view previous;
  while (!rest.empty()) {
    size_t end = std::min(rest.find('\0'), rest.size());
    std::string_view word = rest.substr(0, end);
    if (previous == option && word == value) return true;
    previous = word;
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return false;
}

/// Whether `pid` is the transfer of the job whose log is `job_log`.
bool is_job_process(const std::string& pid, std::string_view job_log) {
  const Config& c = config();
  std::string record = record_of_log(job_log);
  std::string file = program_file(pid);
  if (file.empty()) return false;
  // The job is named by what the start put on the command line: wget's log
  // ("-a"), ctorrent's bit-field file ("-b") or aria2c's DHT file, all in
  // the job directory.
  if (job_log.ends_with(".wgt"))
    return is_configured_program(file, c.wget.empty() ? "wget" : c.wget) &&
           command_line_has(pid, "-a", c.trkdir + std::string(job_log));
  if (job_log.ends_with(".tor"))
    return (is_configured_program(file, c.ctor.empty() ? "ctorrent" : c.ctor) &&
            command_line_has(pid, "-b", c.trkdir + record + ".bf")) ||
           (is_configured_program(file, aria2_program()) &&
            command_line_has(pid, kAria2JobOption, c.trkdir + record + ".dht"));
  return false;
}

}  // namespace

std::string program_path(const std::string& configured) {
  if (configured.find('/') != std::string::npos) return real_path(configured);
  // Unset, the shell that started it searched its own default.
  const char* path = getenv("PATH");
  std::string_view dirs = path && *path ? path : kShellDefaultPath;
  while (!dirs.empty()) {
    size_t colon = std::min(dirs.find(':'), dirs.size());
    std::string dir(dirs.substr(0, colon));
    dirs.remove_prefix(std::min(colon + 1, dirs.size()));
    if (dir.empty()) continue;  // the current directory: never a transfer program
    std::string candidate = dir + "/" + configured;
    if (access(candidate.c_str(), X_OK) == 0) return real_path(candidate);
  }
  return "";
}

std::string aria2_program() { return config().aria2.empty() ? "aria2c" : config().aria2; }

std::string transfer_pid(std::string_view job_log) {
  // Only a log: the job's torrent ("x.torrent") names its transfer too.
  if (!is_job_log(job_log)) return "";

  const std::string& trkdir = config().trkdir;
  std::string record = record_of_log(job_log);
  std::optional<std::string> content = read_file(trkdir + record);
  if (!content) return "";
  std::string pid = content->substr(0, std::min(content->find('\n'), kPidTextLength));

  // Only a plain process number: "self" or "1/task/1" would name other
  // processes, and callers go on to signal the number.
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
      pid[0] == '0')
    return "";
  return is_job_process(pid, job_log) ? pid : "";
}

void await_program_start(const std::string& pid) {
  // The words run_shell starts the shell with; the exec replaces them.
  constexpr std::string_view kShellWords("/bin/sh\0-c\0", 11);
  for (int hundredth = 0; hundredth < kProgramStartHundredths; ++hundredth) {
    std::optional<std::string> words = read_file("/proc/" + pid + "/cmdline");
    if (!words || !words->starts_with(kShellWords)) return;
    usleep(10000);
  }
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
