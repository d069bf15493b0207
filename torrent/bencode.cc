#include "torrent/bencode.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "common/quote.h"
#include "common/response.h"

namespace kiv::torrent {
namespace {

[[noreturn]] void malformed(const Cursor& cursor, std::string_view what) {
  message_answer("Malformed torrent data:",
                 std::string(what) + " at byte " + std::to_string(cursor.at));
}

bool at_end(const Cursor& cursor) { return cursor.at >= cursor.data.size(); }

char peek(const Cursor& cursor) {
  if (at_end(cursor)) malformed(cursor, "unexpected end of data");
  return cursor.data[cursor.at];
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

/// A decimal number read as strtoll reads it: leading white space, a sign,
/// digits, the nearest bound beyond 64 bits; no digits give 0 and leave
/// the cursor where it was.
int64_t read_number(Cursor& cursor) {
  size_t at = cursor.at;
  std::string_view data = cursor.data;
  while (at < data.size() && is_space(data[at])) ++at;
  bool negative = false;
  if (at < data.size() && (data[at] == '+' || data[at] == '-')) negative = data[at++] == '-';
  if (at >= data.size() || !is_digit(data[at])) return 0;
  // Accumulated as a negative number: its range reaches the lower bound.
  int64_t number = 0;
  constexpr int64_t kLowest = std::numeric_limits<int64_t>::min();
  bool clamped = false;
  for (; at < data.size() && is_digit(data[at]); ++at) {
    int digit = data[at] - '0';
    if (number < (kLowest + digit) / 10) clamped = true;
    if (!clamped) number = number * 10 - digit;
  }
  cursor.at = at;
  if (clamped) return negative ? kLowest : std::numeric_limits<int64_t>::max();
  return negative ? number : (number == kLowest ? std::numeric_limits<int64_t>::max() : -number);
}

/// A string (decimal length, ":", bytes) at the cursor, which must be at a
/// digit.
std::string_view read_string(Cursor& cursor) {
  if (!is_digit(peek(cursor))) malformed(cursor, "string expected");
  int64_t length = read_number(cursor);
  if (peek(cursor) != ':') malformed(cursor, "string length without ':'");
  ++cursor.at;
  if (uint64_t(length) > cursor.data.size() - cursor.at)
    malformed(cursor, "string runs past the end of the data");
  std::string_view text = cursor.data.substr(cursor.at, size_t(length));
  cursor.at += size_t(length);
  return text;
}

/// The text up to its first zero byte, as it prints.
std::string_view printed(std::string_view text) { return text.substr(0, text.find('\0')); }

void append_quoted(std::string_view text) {
  out_append("'");
  out_append(escape_script(text));
  out_append("'");
}

/// What a reading does with the values it passes: check them (and note the
/// first long string), print them, or only read past them (the piece hashes,
/// which are never printed).
enum class Mode { check, print, skip };

/// Reads the value at the cursor in `mode`; the first printed string over
/// the name limit goes to `too_long`.
void read_value(Cursor& cursor, Mode mode, int depth, std::optional<std::string_view>& too_long) {
  char first = peek(cursor);
  if (is_digit(first)) {
    std::string_view text = printed(read_string(cursor));
    if (mode == Mode::check && text.size() > kMaxNameLength && !too_long) too_long = text;
    if (mode == Mode::print) append_quoted(text);
    return;
  }
  if (first == 'i') {
    ++cursor.at;
    int64_t number = read_number(cursor);
    if (peek(cursor) != 'e') malformed(cursor, "integer not closed by 'e'");
    ++cursor.at;
    if (mode == Mode::print) out_append(std::to_string(number));
    return;
  }
  if (first != 'l' && first != 'd') malformed(cursor, "no value starts");
  if (depth >= kMaxDepth) malformed(cursor, "nested too deeply");
  ++cursor.at;
  bool dictionary = first == 'd';
  if (mode == Mode::print) out_append(dictionary ? "{" : "[");
  bool empty = true;
  while (peek(cursor) != 'e') {
    Mode item_mode = mode;
    std::string_view key;
    if (dictionary) {
      if (!is_digit(peek(cursor))) malformed(cursor, "dictionary key is not a string");
      key = printed(read_string(cursor));
      if (key == "pieces") item_mode = Mode::skip;  // the piece hashes: long and binary
    }
    if (item_mode == Mode::print) {
      if (!empty) out_append(",");
      empty = false;
      if (dictionary) {
        append_quoted(key);
        out_append(":");
      }
    }
    read_value(cursor, item_mode, depth + 1, too_long);
    if (mode == Mode::print) out_spill();
  }
  ++cursor.at;
  if (mode == Mode::print) out_append(dictionary ? "}" : "]");
}

}  // namespace

void check_value(Cursor& cursor) {
  // A long string is refused only once the whole value has read well:
  // malformed data anywhere is what the answer names.
  std::optional<std::string_view> too_long;
  read_value(cursor, Mode::check, 0, too_long);
  if (too_long) refuse_long_name(*too_long);
}

void print_value(Cursor& cursor) {
  std::optional<std::string_view> unused;
  read_value(cursor, Mode::print, 0, unused);
}

void skip_value(Cursor& cursor) {
  std::optional<std::string_view> unused;
  read_value(cursor, Mode::skip, 0, unused);
}

std::optional<std::string_view> take_string(Cursor& cursor) {
  if (is_digit(peek(cursor))) return read_string(cursor);
  skip_value(cursor);
  return std::nullopt;
}

std::optional<int64_t> take_integer(Cursor& cursor) {
  if (peek(cursor) != 'i') {
    skip_value(cursor);
    return std::nullopt;
  }
  ++cursor.at;
  int64_t number = read_number(cursor);
  if (peek(cursor) != 'e') malformed(cursor, "integer not closed by 'e'");
  ++cursor.at;
  return number;
}

void for_each_entry(Cursor& cursor, const std::function<void(std::string_view key)>& each) {
  if (peek(cursor) != 'd') return skip_value(cursor);
  ++cursor.at;
  while (peek(cursor) != 'e') {
    if (!is_digit(peek(cursor))) malformed(cursor, "dictionary key is not a string");
    each(read_string(cursor));
  }
  ++cursor.at;
}

void for_each_item(Cursor& cursor, const std::function<void()>& each) {
  if (peek(cursor) != 'l') return skip_value(cursor);
  ++cursor.at;
  while (peek(cursor) != 'e') each();
  ++cursor.at;
}

}  // namespace kiv::torrent
