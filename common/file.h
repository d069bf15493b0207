#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kiv {

/// Owns a file descriptor; closes it when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  /// Closes now and reports whether the close succeeded.
  bool close();

 private:
  int fd_ = -1;
};

/// Writes all of `data`, retrying short writes; false with errno on failure.
bool write_all(int fd, std::string_view data);

/// The whole content of `path`, or nothing (errno set) when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

/// Replaces `path` atomically: writes a new file created exclusively beside
/// it, gives it `mode` whatever the umask, and renames it into place. A
/// symbolic link at `path` is replaced, never followed. False with errno on
/// failure, leaving nothing behind.
bool replace_file(const std::string& path, std::string_view content, mode_t mode);

}  // namespace kiv
