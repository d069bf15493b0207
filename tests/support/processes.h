#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "common/file.h"

namespace kiv::testing {

/// How many times longer than on an idle machine the tests' waits allow:
/// other builds and test runs load the machine (a load of 10 to 20 on two
/// cores has been seen), and an emulated program runs several times slower
/// again. Every wait of the tests is scaled by wait_factor(), and by
/// nothing else.
inline constexpr int kLoadAllowance = 3;
inline constexpr int kEmulationSlowdown = 4;

/// kLoadAllowance, times kEmulationSlowdown when the programs under test
/// are emulated.
int wait_factor();

/// `idle` (what a step takes at most on an idle machine) scaled by
/// wait_factor().
std::chrono::milliseconds allowance(std::chrono::milliseconds idle);

/// Polls `done` every 20 ms until it holds or the allowance for `seconds`
/// has passed.
template <typename Done>
bool eventually(Done done, int seconds = 10) {
  auto deadline = std::chrono::steady_clock::now() + allowance(std::chrono::seconds(seconds));
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
  /// Waits (up to the allowance for two seconds) until the process runs
  /// `program` itself.
  void wait_for_exec(std::string_view program) const;
  /// Kills the process and waits until it is a zombie, which it stays until
  /// end().
  void kill_only();
  void end();

 private:
  pid_t pid_ = 0;
};

// The test process adopts what its children leave behind (it is a child
// subreaper): a daemon or a background transfer that a program under test
// started stays among its descendants. Tests look for processes there only,
// never in the machine's process list.

/// The children of process `parent` (by its own /proc entry).
std::vector<pid_t> child_processes(pid_t parent);

/// The descendants of this process running the program file `exe` (by
/// /proc/<pid>/exe, or the emulator's command line when the programs under
/// test are emulated). Zombies run nothing.
std::vector<pid_t> processes_running(const std::string& exe);

/// The base name of the program file process `pid` runs, "" when it is gone.
std::string program_of(const std::string& pid);

/// Kills the descendants running `exe`, again until none is left (a dying
/// daemon may start a worker), and reaps those that were adopted.
void end_processes_running(const std::string& exe);

/// A real wget that connects to `listener` and waits there; with `job_log`
/// its command line names that log as a job's transfer does.
std::vector<std::string> waiting_wget(const SilentListener& listener,
                                      const std::string& job_log = "");

}  // namespace kiv::testing
