#include "common/log_end.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/file.h"

namespace kiv {
namespace {

bool contains_any(std::string_view line, std::initializer_list<std::string_view> words) {
  for (std::string_view word : words)
    if (line.find(word) != std::string_view::npos) return true;
  return false;
}

}  // namespace

std::optional<std::string> log_tail(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) return std::nullopt;
  off_t from = st.st_size > off_t(kLogTailLength) ? st.st_size - off_t(kLogTailLength) : 0;
  if (lseek(fd.get(), from, SEEK_SET) < 0) return std::nullopt;
  return read_all(fd.get());
}

bool wget_log_ended(std::string_view tail) {
  bool ended = false;
  for_each_piece(tail, [&](std::string_view piece) {
    if (contains_any(piece, {"%[", "[<=>", "--  "}))
      ended = false;  // a progress redraw, or the next try of the URL
    else if (contains_any(piece, {" saved [", "Downloaded: ", "fully retrieved", "ERROR",
                                  "failed:", "unable to", "Unable to", "not resolve",
                                  "No such file", "Cannot write to", "Giving up"}))
      ended = true;
  });
  return ended;
}

bool ctorrent_log_ended(std::string_view tail) {
  bool ended = false;
  for_each_piece(tail, [&](std::string_view piece) {
    // A status line: "- 0/0/1 [12/100/100] 3MB,0MB | ..." (have/total/available).
    size_t open = piece.find(" [");
    size_t slash = piece.find('/', open);
    size_t second = piece.find('/', slash + 1);
    size_t close = piece.find(']', slash);
    if (open != std::string_view::npos && slash != std::string_view::npos &&
        second < close && close != std::string_view::npos) {
      std::string_view have = piece.substr(open + 2, slash - open - 2);
      std::string_view total = piece.substr(slash + 1, second - slash - 1);
      ended = have == total && total != "0";
    } else if (contains_any(piece, {"error", "Error", "failed", "fail to", "not found"})) {
      ended = true;
    }
  });
  return ended;
}

}  // namespace kiv
