#include "common/file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kiv {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() { close(); }

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

bool UniqueFd::close() {
  if (fd_ < 0) return true;
  int fd = release();
  return ::close(fd) == 0;
}

bool exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

ssize_t read_some(int fd, void* into, size_t size) {
  ssize_t n;
  do n = read(fd, into, size);
  while (n < 0 && errno == EINTR);
  return n;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    data.remove_prefix(size_t(n));
  }
  return true;
}

std::optional<std::string> read_file(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  return read_all(fd.get());
}

UniqueFd open_trusted(const std::string& path, std::string& why) {
  why.clear();
  // Non-blocking: a planted pipe must not hold the request.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid()) {
    if (errno == ELOOP) why = "a symbolic link";
    return UniqueFd();
  }
  if (fstat(fd.get(), &st) != 0) return UniqueFd();
  if (!S_ISREG(st.st_mode))
    why = "not a regular file";
  else if (st.st_mode & (S_IWGRP | S_IWOTH))
    why = "writable by group or others";
  else if (st.st_uid != 0 && st.st_uid != geteuid())
    why = "owned by user " + std::to_string(st.st_uid);
  if (!why.empty()) return UniqueFd();
  return fd;
}

std::optional<std::string> read_all(int fd_number) {
  std::string content;
  char block[4096];
  for (;;) {
    ssize_t n = read_some(fd_number, block, sizeof block);
    if (n < 0) return std::nullopt;
    if (n == 0) return content;
    content.append(block, size_t(n));
  }
}

std::optional<std::string> read_range(int fd, off_t offset, size_t length) {
  std::string content(length, '\0');
  size_t got = 0;
  while (got < length) {
    ssize_t n = pread(fd, content.data() + got, length - got, offset + off_t(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += size_t(n);
  }
  content.resize(got);
  return content;
}

bool sync_folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && (fsync(fd.get()) == 0 || errno == EINVAL);
}

bool replace_file(const std::string& path, std::string_view content, mode_t mode) {
  std::string temporary = path + ".XXXXXX";
  UniqueFd fd(mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  bool written = fchmod(fd.get(), mode) == 0 && write_all(fd.get(), content) &&
                 fsync(fd.get()) == 0;
  written = fd.close() && written;
  if (written && rename(temporary.c_str(), path.c_str()) == 0) return sync_folder_of(path);
  int error = errno;
  unlink(temporary.c_str());
  errno = error;
  return false;
}

}  // namespace kiv
