#pragma once

#include <algorithm>
#include <string_view>

// Reading the end of a job log, where the tools tell how far a transfer got
// and how it ended.
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

}  // namespace kiv
