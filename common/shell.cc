#include "common/shell.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
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
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) fail("Unable to start subshell: ", line);
  UniqueFd reader(ends[0]), writer(ends[1]);
  pid_t pid = fork();
  if (pid < 0) fail("Unable to start subshell: ", line);
  if (pid == 0) {
    if (joined) {
      dup2(writer.get(), STDOUT_FILENO);
    } else {
      int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, STDOUT_FILENO);
    }
    dup2(writer.get(), STDERR_FILENO);
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  writer.close();

  ShellResult result;
  std::string& output = result.output;
  char block[4096];
  for (;;) {
    ssize_t n = read(reader.get(), block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    // Read to the end even when full, so the command never blocks on the pipe.
    output.append(block, std::min(size_t(n), kMaxShellOutput - output.size()));
  }
  while (waitpid(pid, &result.status, 0) < 0) {
    if (errno != EINTR) fail("Cannot close pipe to shell:", line);
  }
  return result;
}

}  // namespace kiv
