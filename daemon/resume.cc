#include "daemon/resume.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "common/config.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/job_queue.h"
#include "common/response.h"
#include "common/resumed.h"
#include "common/temporary.h"
#include "ctl/jobs.h"
#include "ctl/queue.h"
#include "daemon/queue.h"

namespace kiv {
namespace {

/// Which of the interrupted jobs start now: the queue and the schedule
/// decide; the others wait in the queue.
std::vector<std::string> admitted(std::vector<std::string> jobs) {
  return admitted_at_start(jobs);
}

/// The message of a message answer, without its header block.
std::string message_of(const std::string& answer) {
  size_t body = answer.find("\r\n\n");
  return body == std::string::npos ? answer : answer.substr(body + 3);
}

}  // namespace

std::vector<std::string> interrupted_jobs() {
  std::vector<std::string> jobs;
  auto names = scan_directory(config().trkdir, ScanOrder::directory);
  if (!names) return jobs;
  for (std::string& name : *names)
    if (ctl::wants_resume(name)) jobs.push_back(std::move(name));
  return jobs;
}

bool resume_job(const std::string& name) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  UniqueFd reader(ends[0]), writer(ends[1]);
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    // The restart answers as a request would: a failure ends this process
    // with its message on standard output, success returns.
    dup2(writer.get(), STDOUT_FILENO);
    // kivd decided: the start runs, and keeps its slot.
    ctl::set_admission(ctl::Admission::granted);
    ctl::restart_of_kind(name);
    _exit(0);
  }
  writer.close();
  std::optional<std::string> answer = read_all(reader.get());
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  std::string message = message_of(answer.value_or(""));
  bool resumed = WIFEXITED(status) && WEXITSTATUS(status) == 0 && message.empty();
  if (!resumed)
    syslog(LOG_ERR, "%s not resumed: %s", name.c_str(),
           message.empty() ? "the restart ended abnormally" : message.c_str());
  return resumed;
}

void resume_at_start() {
  // Held from the reading of the records to the last start: a stop or a
  // delete made meanwhile is seen, never undone by a start read before it.
  if (!hold_job_lock()) syslog(LOG_ERR, "%s - %m", config().trkdir.c_str());
  unsigned resumed = 0;
  for (const std::string& name : admitted(interrupted_jobs())) resumed += resume_job(name);
  if (resumed > 0) syslog(LOG_INFO, "%u transfers resumed", resumed);
  write_resumed_notice({resumed, time(nullptr)});
  remove_leftover_temporaries(config().dnldir);
}

}  // namespace kiv
