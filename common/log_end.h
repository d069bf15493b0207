#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

// How a transfer that no longer runs ended, as the end of its job log tells:
// by itself (its file complete, or a failure it gave up on), or cut off (a
// power cut, a kill) in the middle of its work.
namespace kiv {

/// The end of a log read to tell it: the last progress redraws and what
/// follows them.
inline constexpr size_t kLogTailLength = 4096;

/// Calls `each` with every piece of `text` between line feeds and carriage
/// returns (a redraw is a piece of its own), blanks around it removed;
/// empty pieces are left out.
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

/// The last kLogTailLength bytes of the log at `path`; nothing when it
/// cannot be read.
std::optional<std::string> log_tail(const std::string& path);

/// Whether wget's log ends with the file saved (or already whole) or with a
/// failure; false when it ends in a progress bar, a connection or a request
/// under way.
bool wget_log_ended(std::string_view tail);

/// Whether ctorrent's log ends with the torrent complete or with a failure;
/// false when its last status line shows pieces still missing.
bool ctorrent_log_ended(std::string_view tail);

}  // namespace kiv
