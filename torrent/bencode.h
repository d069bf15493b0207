#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

// The bencoded content of a torrent file, printed as a script object
// straight from the data: no decoded tree is held, so a request's memory
// grows with the file alone. The same reading runs twice, first only
// checking, then printing, because nothing may fail once part of the
// answer is written out.
namespace kiv::torrent {

/// Lists and dictionaries nest at most this deep; real torrents need a
/// handful of levels, and the reading recurses once per level.
inline constexpr int kMaxDepth = 256;

/// A read position in the file data.
struct Cursor {
  std::string_view data;
  size_t at = 0;
};

/// Reads the value at the cursor and moves past it, printing nothing.
/// Ends the request with whatever printing it would end with: data that is
/// not bencoding (a byte that starts no value, a bad or overlong length, an
/// integer or container left open, a key that is not a string, nesting
/// beyond kMaxDepth) with "Malformed torrent data:" and what was wrong
/// where; otherwise the first printed string longer than 500 bytes with the
/// long-name message. Never reads past the data.
void check_value(Cursor& cursor);

/// Appends the script-object text of the value at the cursor to the
/// response buffer and moves past it: strings and keys apostrophe-quoted
/// and escaped, each ending at its first zero byte; entries keyed "pieces"
/// left out at every level. Writes the buffer out as it grows (out_spill),
/// so the value must have passed check_value.
void print_value(Cursor& cursor);

/// Moves past the value at the cursor, ending the request only on
/// malformed data.
void skip_value(Cursor& cursor);

/// The string at the cursor, or nothing when another kind of value is
/// there; the cursor moves past the value either way. Ends the request on
/// malformed data, as do the three below.
std::optional<std::string_view> take_string(Cursor& cursor);
/// The integer at the cursor, or nothing when another kind of value is there.
std::optional<int64_t> take_integer(Cursor& cursor);
/// Calls `each` with the key of every entry of the dictionary at the
/// cursor, the cursor at the entry's value, which `each` must move past;
/// any other value is skipped.
void for_each_entry(Cursor& cursor, const std::function<void(std::string_view key)>& each);
/// Calls `each` for every item of the list at the cursor, as above.
void for_each_item(Cursor& cursor, const std::function<void()>& each);

}  // namespace kiv::torrent
