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

/// Whether something stands at `path`; a symbolic link counts, wherever
/// it leads.
bool exists(const std::string& path);

/// read(2), tried again when a signal interrupts it.
ssize_t read_some(int fd, void* into, size_t size);

/// Writes all of `data`, retrying short writes; false with errno on failure.
bool write_all(int fd, std::string_view data);

/// The whole content of `path`, or nothing (errno set) when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

/// The rest of the open file `fd`, or nothing (errno set) on a read error.
std::optional<std::string> read_all(int fd);

/// Up to `length` bytes of `fd` from `offset` (fewer at its end), or
/// nothing (errno set) on a read error. The file position is not used.
std::optional<std::string> read_range(int fd, off_t offset, size_t length);

/// Opens a fixed path of a shared directory (/tmp) for reading, refusing
/// what another local user could have planted there: anything but a
/// regular file (a symbolic link included), a file writable by group or
/// others, a file owned by anyone but root or this process's user. On
/// refusal `why` says which and no descriptor comes back; when the path
/// cannot be opened at all `why` stays empty and errno is set.
UniqueFd open_trusted(const std::string& path, std::string& why);

/// Flushes the folder of `path` to the disk, so that a rename into it
/// survives a power cut. File systems that cannot (EINVAL) count as done.
bool sync_folder_of(const std::string& path);

/// Replaces `path` atomically: writes a new file created exclusively beside
/// it, gives it `mode` whatever the umask, flushes it, renames it into place
/// and flushes the folder: after a power cut `path` holds the old content or
/// the new, never a part. A symbolic link at `path` is replaced, never
/// followed. False with errno on failure, leaving nothing behind (or, when
/// only the folder's flush failed, the new content in place).
bool replace_file(const std::string& path, std::string_view content, mode_t mode);

}  // namespace kiv
