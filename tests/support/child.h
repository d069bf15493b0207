#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::testing {

/// Exit status of a child whose body returned instead of ending the process.
inline constexpr int kReturned = 77;

struct ChildResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = 0;   // as waitpid reports it

  /// The exit status, or -1 when the child was killed by a signal.
  int exit_code() const;
};

/// Runs `body` in a forked child with `input` on its standard input and
/// collects what it writes. Code that ends the process (message_answer,
/// configuration failures) is tested this way.
ChildResult run_in_child(const std::function<void()>& body, std::string_view input = {});

/// Runs the program `argv[0]` with exactly the environment `env`.
ChildResult run_program(const std::vector<std::string>& argv,
                        const std::vector<std::string>& env, std::string_view input = {});

/// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  /// The path, ending with "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// Puts a shared fixed path (/tmp/kiv.conf, /tmp/kiv-sl) back as it was at
/// construction: restored, or removed when it did not exist. While one
/// lives, other test processes using these paths wait.
class KeepFile {
 public:
  explicit KeepFile(std::string path);
  ~KeepFile();
  KeepFile(const KeepFile&) = delete;
  KeepFile& operator=(const KeepFile&) = delete;

 private:
  std::string path_;
  bool existed_ = false;
  std::string content_;
};

/// Writes `content` to `path`, replacing it.
void write_text(const std::string& path, std::string_view content);
/// The content of `path`; empty when it cannot be read.
std::string read_text(const std::string& path);

}  // namespace kiv::testing
