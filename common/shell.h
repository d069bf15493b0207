#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

/// Longest command text run_shell takes: its line, with " 2>&1" and the
/// terminator, must fit 1000 bytes.
inline constexpr size_t kMaxCommandText = 993;
/// Output beyond this many bytes is read and dropped.
inline constexpr size_t kMaxShellOutput = 10000;
/// The most run_programs hands a program on its standard input.
inline constexpr size_t kMaxProgramInput = 4096;

// Every program these start ends with the request: it is killed when the
// process that started it dies, even by SIGKILL (a CGI program ended by the
// web server). Programs that must outlive it detach themselves (wget -b, a
// job started with "&" by the shell).

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

/// Runs the programs of `pipeline` (each an argument vector, its first word
/// found on PATH) with no shell between: every byte of every word reaches
/// the program as it is. Each one's standard output feeds the next one's
/// input; the last one's goes to the open descriptor `output`, or joins the
/// collected error stream when `output` is -1. The status is that of the
/// first program that failed, else the last one's. The first program reads
/// `input` (at most kMaxProgramInput bytes; a secret passed so never shows
/// in a command line), or nothing when it is empty.
ShellResult run_programs(std::span<const std::vector<std::string>> pipeline, int output = -1,
                         std::string_view input = {});

}  // namespace kiv
