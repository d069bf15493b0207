#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// The bencoded content of a torrent file, decoded and printed as a script
// object.
namespace kiv::torrent {

/// Lists and dictionaries nest at most this deep; real torrents need a
/// handful of levels, and the reader and printer recurse once per level.
inline constexpr int kMaxDepth = 256;

/// One decoded value. Strings are views into the file data, which must
/// outlive the tree.
struct Value {
  enum class Kind { string, integer, list, dictionary };
  Kind kind = Kind::integer;
  int64_t number = 0;        // integer
  std::string_view text;     // string
  std::string_view key;      // the key of a dictionary's item
  std::vector<Value> items;  // list or dictionary, in file order; keys unchecked
};

/// A read position in the file data.
struct Cursor {
  std::string_view data;
  size_t at = 0;
};

/// Decodes the value at the cursor and moves past it. Data that is not
/// bencoding (a byte that starts no value, a bad or overlong length, an
/// integer or container left open, a key that is not a string, nesting
/// beyond kMaxDepth) ends the request with "Malformed torrent data:" and
/// what was wrong where. Never reads past the data.
Value read_value(Cursor& cursor, int depth = 0);

/// Decodes a string (decimal length, ":", bytes) at the cursor, which must
/// be at a digit; ends the request like read_value otherwise.
std::string_view read_string(Cursor& cursor);

/// Appends the script-object text of `value` to the response buffer:
/// strings and keys apostrophe-quoted and escaped, each ending at its first
/// zero byte; entries keyed "pieces" left out at every level. A string
/// longer than 500 bytes ends the request.
void print_value(const Value& value);

}  // namespace kiv::torrent
