#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "common/file.h"

namespace kiv::testing {

/// Polls `done` every 20 ms until it holds or `seconds` have passed.
template <typename Done>
bool eventually(Done done, int seconds = 10) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    usleep(20000);
  }
  return true;
}

/// A free TCP port on 127.0.0.1 (bound once, then released).
int free_port();

/// Whether something accepts connections on 127.0.0.1:`port` now.
bool accepts_connections(int port);

/// A loopback listener that never accepts: a client's connection completes
/// in the backlog and then waits for an answer that does not come.
class SilentListener {
 public:
  SilentListener();
  int port() const { return port_; }

 private:
  int port_ = 0;
  UniqueFd fd_;
};

/// A program started with its output discarded, ended by its id (SIGKILL and
/// reaped) when this goes out of scope.
class Running {
 public:
  Running(std::vector<std::string> argv, const std::string& directory);
  ~Running() { end(); }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

  std::string pid() const { return std::to_string(pid_); }
  /// Waits (up to two seconds) until the process runs `program` itself.
  void wait_for_exec(std::string_view program) const;
  /// Kills the process but leaves it a zombie until end().
  void kill_only();
  void end();

 private:
  pid_t pid_ = 0;
};

/// The processes running the program file `exe` (by /proc/<pid>/exe, or
/// the emulator's command line when the programs under test are emulated).
std::vector<pid_t> processes_running(const std::string& exe);

/// A real wget that connects to `listener` and waits there; with `job_log`
/// its command line names that log as a job's transfer does.
std::vector<std::string> waiting_wget(const SilentListener& listener,
                                      const std::string& job_log = "");

}  // namespace kiv::testing
