#include "ctl/download.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/config.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/request.h"
#include "common/response.h"
#include "ctl/checks.h"

namespace kiv::ctl {
namespace {

/// Largest piece handed to sendfile at once.
constexpr size_t kSendPiece = size_t(1) << 30;

[[noreturn]] void fatal(const std::string& name) {
  message_answer("Fatal error in downloading ", name);
}

/// Waits until standard output takes more (it may be non-blocking).
void await_output() {
  pollfd out = {STDOUT_FILENO, POLLOUT, 0};
  poll(&out, 1, -1);
}

/// Copies up to `left` bytes of `file` to standard output through a small
/// buffer; for outputs sendfile cannot write to.
void copy_blocks(int file, off_t left, const std::string& name) {
  char block[kDownloadBlock];
  while (left > 0) {
    ssize_t n = read_some(file, block, size_t(std::min(off_t(sizeof block), left)));
    if (n <= 0) return;  // shrunk or unreadable: the length tells the browser
    if (!write_all(STDOUT_FILENO, std::string_view(block, size_t(n)))) fatal(name);
    left -= n;
  }
}

void stream(int file, off_t left, const std::string& name) {
  while (left > 0) {
    // Compared as offsets: a 32-bit size_t would cut a length over 4 GiB.
    ssize_t n = sendfile(STDOUT_FILENO, file, nullptr, size_t(std::min(off_t(kSendPiece), left)));
    if (n > 0) {
      left -= n;
    } else if (n == 0) {
      return;  // the file shrank
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN) {
      await_output();
    } else if (errno == EINVAL || errno == ENOSYS) {
      return copy_blocks(file, left, name);
    } else {
      fatal(name);
    }
  }
}

}  // namespace

uint64_t parse_inode(std::string_view text) {
  size_t at = text.find_first_not_of(" \t\n\v\f\r");
  if (at == std::string_view::npos) return 0;
  if (text[at] == '+') ++at;
  uint64_t number = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    unsigned digit = unsigned(text[at] - '0');
    if (number > (UINT64_MAX - digit) / 10) return 0;
    number = number * 10 + digit;
  }
  return number;
}

/// "/" + the name of the entry of `directory` whose inode number (links
/// followed) is `inode`, searched from the last entry listed to the first.
/// Entries that cannot be examined are passed over. Makes `directory` the
/// working directory; ends the request when it cannot be listed or
/// nothing matches.
static std::string find_by_inode(const std::string& directory, uint64_t inode) {
  std::optional<std::vector<std::string>> names;
  if (chdir(directory.c_str()) == 0) names = scan_directory(".", ScanOrder::directory);
  if (!names) message_answer("Can't scan download directory", directory);
  for (auto name = names->rbegin(); name != names->rend(); ++name) {
    struct stat status;
    if (stat(name->c_str(), &status) == 0 && uint64_t(status.st_ino) == inode) return "/" + *name;
  }
  message_answer("What inode did you send?", "");
}

std::string disposition_name(std::string_view name) {
  std::string quoted;
  for (char c : name) {
    if (c == '\r' || c == '\n') continue;
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted;
}

void send_file(const std::string& directory, const std::string& name) {
  std::string path = directory + name;
  check_path(path, PathMessage::capitalised);
  struct stat status;
  if (stat(path.c_str(), &status) != 0) message_answer("File not found:", name);
  // Non-blocking, so that a pipe put in the file's place cannot hang the open.
  UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    message_answer("Unable to access download file:", name);

  // A browser that goes away must end in a failed write, not a signal.
  signal(SIGPIPE, SIG_IGN);
  std::string headers =
      "Content-type: application/octet-stream\r\n" + std::string(kNoCacheLines) +
      "Content-disposition: filename=\"" +
      disposition_name(path.substr(path.rfind('/') + 1)) + "\"\nContent-length: " +
      std::to_string(static_cast<long long>(status.st_size)) + "\n\n";
  if (!write_all(STDOUT_FILENO, headers)) fatal(name);
  stream(file.get(), status.st_size, name);
  std::exit(0);
}

void dow_command(const std::string& file, const std::string&) {
  std::string curdir = form_field("curdir").value_or("");
  std::string directory = config().dnldir + curdir;
  // Looked into only when inside; a "/.." that stays inside ("sub/..") is
  // then refused by send_file's path check, which names the file.
  check_reach(curdir, Reach::through, PathMessage::capitalised, directory);
  std::string name = find_by_inode(directory, parse_inode(file));
  // The entry found may be a link: what is sent must be inside too.
  check_reach(curdir + name, Reach::through, PathMessage::capitalised, directory + name);
  send_file(directory, name);
}

}  // namespace kiv::ctl
