#include "common/shell.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/file.h"
#include "common/response.h"

namespace kiv {
namespace {

[[noreturn]] void answer_failure(std::string_view message, std::string_view command) {
  message_answer(message, command);
}

ShellFailure failure_handler = answer_failure;

[[noreturn]] void fail(std::string_view message, std::string_view command) {
  failure_handler(message, command);
  exit(1);  // a handler that returns must not let the caller go on
}

/// Makes `fd` the descriptor `target` of a program about to start.
void use_as(int fd, int target) {
  if (fd == target)
    fcntl(fd, F_SETFD, 0);  // dup2 would leave it closing on exec
  else
    dup2(fd, target);
}

/// Ends this newly forked child when `parent` dies, however it dies.
void end_with(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The parent may have died before the line above took effect.
  if (getppid() != parent) _exit(127);
}

/// Starts the programs of `pipeline`, collects their error streams (and
/// the last one's output when `output` is -1) and waits for all of them.
/// `described` names them in failure messages.
ShellResult run_pipeline(std::span<const std::vector<std::string>> pipeline, int output,
                         std::string_view described, std::string_view text_input = {}) {
  int ends[2];
  UniqueFd input;  // the previous program's output
  if (!text_input.empty()) {
    // Written whole before any program starts: a pipe holds this much.
    if (text_input.size() > kMaxProgramInput || pipe2(ends, O_CLOEXEC) != 0)
      fail("Unable to start subshell: ", described);
    input = UniqueFd(ends[0]);
    UniqueFd feed(ends[1]);
    if (!write_all(feed.get(), text_input)) fail("Unable to start subshell: ", described);
  }
  if (pipe2(ends, O_CLOEXEC) != 0) fail("Unable to start subshell: ", described);
  UniqueFd reader(ends[0]), writer(ends[1]);
  // Built before the forks: a child only rearranges descriptors and execs.
  std::vector<std::vector<char*>> argvs;
  for (const std::vector<std::string>& program : pipeline) {
    std::vector<char*>& argv = argvs.emplace_back();
    for (const std::string& word : program) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
  }
  pid_t parent = getpid();
  std::vector<pid_t> pids;
  for (size_t i = 0; i < argvs.size(); ++i) {
    UniqueFd next_reader, next_writer;
    if (i + 1 < argvs.size()) {
      if (pipe2(ends, O_CLOEXEC) != 0) fail("Unable to start subshell: ", described);
      next_reader = UniqueFd(ends[0]);
      next_writer = UniqueFd(ends[1]);
    }
    int out = next_writer.valid() ? next_writer.get() : output >= 0 ? output : writer.get();
    pid_t pid = fork();
    if (pid < 0) fail("Unable to start subshell: ", described);
    if (pid == 0) {
      end_with(parent);
      if (input.valid()) use_as(input.get(), STDIN_FILENO);
      use_as(out, STDOUT_FILENO);
      use_as(writer.get(), STDERR_FILENO);
      const char* program = argvs[i][0] ? argvs[i][0] : "";
      execvp(program, argvs[i].data());
      write_all(STDERR_FILENO, std::string(program) + ": " + strerror(errno) + "\n");
      _exit(127);
    }
    pids.push_back(pid);
    input = std::move(next_reader);
  }
  writer.close();
  input.close();

  ShellResult result;
  std::string& collected = result.output;
  char block[4096];
  for (;;) {
    ssize_t n = read_some(reader.get(), block, sizeof block);
    if (n <= 0) break;
    // Read to the end even when full, so no program blocks on the pipe.
    collected.append(block, std::min(size_t(n), kMaxShellOutput - collected.size()));
  }
  bool failed = false;
  for (pid_t pid : pids) {
    int status;
    while (waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) fail("Cannot close pipe to shell:", described);
    }
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!failed) result.status = status;
    failed |= !ok;
  }
  return result;
}

}  // namespace

void set_shell_failure(ShellFailure handler) { failure_handler = handler; }

bool ShellResult::succeeded() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

std::string run_shell(std::string_view command) { return run_shell_status(command).output; }

ShellResult run_shell_status(std::string_view command, ShellStreams streams) {
  if (command.size() > kMaxCommandText) fail("Command line too long:", command);
  bool joined = streams == ShellStreams::joined;
  std::string line = std::string(command) + (joined ? " 2>&1" : "");
  // Both streams of the whole line go to the pipe: the trailing "2>&1" alone
  // would join them for the line's last command only.
  UniqueFd null;
  if (!joined) {
    null = UniqueFd(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!null.valid()) fail("Unable to start subshell: ", line);
  }
  const std::vector<std::string> shell[] = {{"/bin/sh", "-c", line}};
  return run_pipeline(shell, joined ? -1 : null.get(), line);
}

ShellResult run_programs(std::span<const std::vector<std::string>> pipeline, int output,
                         std::string_view input) {
  std::string described;
  for (const std::vector<std::string>& program : pipeline) {
    if (!described.empty()) described += " | ";
    described += program.empty() ? "" : program.front();
  }
  return run_pipeline(pipeline, output, described, input);
}

}  // namespace kiv
