#pragma once

#include <string>
#include <string_view>

namespace kiv {

/// Longest command text run_shell takes: its line, with " 2>&1" and the
/// terminator, must fit 1000 bytes.
inline constexpr size_t kMaxCommandText = 993;
/// Output beyond this many bytes is read and dropped.
inline constexpr size_t kMaxShellOutput = 10000;

/// How run_shell ends the process when the shell cannot be used; a CGI
/// program answers (the default), the daemon logs.
using ShellFailure = void (*)(std::string_view message, std::string_view command);
void set_shell_failure(ShellFailure handler);

/// Runs `command` through /bin/sh with standard error joined to standard
/// output and returns the first kMaxShellOutput bytes of what it printed.
/// The command's exit status is not looked at. A command text longer than
/// kMaxCommandText is refused, never cut.
std::string run_shell(std::string_view command);

enum class ShellStreams {
  joined,       // standard output and standard error, as run_shell
  errors_only,  // standard error; standard output goes to /dev/null
};

struct ShellResult {
  std::string output;  // the first kMaxShellOutput bytes of the chosen streams
  int status = 0;      // as waitpid reports it
  /// Whether the command exited with status 0.
  bool succeeded() const;
};

/// As run_shell, for callers that act on the command's exit status.
ShellResult run_shell_status(std::string_view command,
                             ShellStreams streams = ShellStreams::joined);

}  // namespace kiv
