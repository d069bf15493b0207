#include "common/info_hash.h"

#include <cstddef>

#include "common/sha1.h"

namespace kiv {
namespace {

/// The string at `at` ("<length>:<bytes>"), moving past it; nothing when
/// there is none.
std::optional<std::string_view> read_string(std::string_view data, size_t& at) {
  size_t length = 0;
  size_t start = at;
  while (at < data.size() && data[at] >= '0' && data[at] <= '9') {
    if (length > data.size()) return std::nullopt;
    length = length * 10 + size_t(data[at++] - '0');
  }
  if (at == start || at >= data.size() || data[at] != ':' || length > data.size() - at - 1)
    return std::nullopt;
  std::string_view text = data.substr(at + 1, length);
  at += 1 + length;
  return text;
}

/// Moves `at` past the value it starts; false for anything malformed.
bool skip_value(std::string_view data, size_t& at, int depth) {
  if (at >= data.size() || depth > kInfoHashMaxDepth) return false;
  char kind = data[at];
  if (kind == 'i') {
    size_t digits = at + 1 + (at + 1 < data.size() && data[at + 1] == '-');
    size_t end = data.find_first_not_of("0123456789", digits);
    if (end == std::string_view::npos || end == digits || data[end] != 'e') return false;
    at = end + 1;
    return true;
  }
  if (kind == 'l' || kind == 'd') {
    ++at;
    while (at < data.size() && data[at] != 'e') {
      if (kind == 'd' && !read_string(data, at)) return false;
      if (!skip_value(data, at, depth + 1)) return false;
    }
    if (at >= data.size()) return false;
    ++at;
    return true;
  }
  return read_string(data, at).has_value();
}

}  // namespace

std::optional<std::string> torrent_info_hash(std::string_view data) {
  if (data.empty() || data[0] != 'd') return std::nullopt;
  size_t at = 1;
  std::optional<std::string_view> info;
  while (at < data.size() && data[at] != 'e') {
    std::optional<std::string_view> key = read_string(data, at);
    if (!key) return std::nullopt;
    size_t start = at;
    if (!skip_value(data, at, 1)) return std::nullopt;
    if (*key == "info") info = data.substr(start, at - start);
  }
  if (at >= data.size() || !info || (*info)[0] != 'd') return std::nullopt;
  return hex_digest(sha1(*info));
}

}  // namespace kiv
