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

/// Calls `each` with every piece of `text` between line feeds and carriage
/// returns (a redraw is a piece of its own), blanks around it removed.
template <typename Each>
void for_each_piece(std::string_view text, Each each) {
  while (!text.empty()) {
    size_t end = std::min(text.find_first_of("\r\n"), text.size());
    std::string_view piece = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    size_t first = piece.find_first_not_of(' ');
    if (first == std::string_view::npos) continue;
    piece = piece.substr(first, piece.find_last_not_of(' ') + 1 - first);
    each(piece);
  }
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
