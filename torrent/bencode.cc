#include "torrent/bencode.h"

#include <iterator>
#include <limits>
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

/// The text up to its first zero byte, as it prints.
std::string_view printed(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

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

Value read_value(Cursor& cursor, int depth) {
  Value value;
  char first = peek(cursor);
  if (is_digit(first)) {
    value.kind = Value::Kind::string;
    value.text = read_string(cursor);
    return value;
  }
  if (first == 'i') {
    ++cursor.at;
    value.kind = Value::Kind::integer;
    value.number = read_number(cursor);
    if (peek(cursor) != 'e') malformed(cursor, "integer not closed by 'e'");
    ++cursor.at;
    return value;
  }
  if (first != 'l' && first != 'd') malformed(cursor, "no value starts");
  if (depth >= kMaxDepth) malformed(cursor, "nested too deeply");
  ++cursor.at;
  value.kind = first == 'l' ? Value::Kind::list : Value::Kind::dictionary;
  // Items gather on one stack shared by all levels and move into a vector
  // of their exact number: a tree of many small containers stays small.
  static std::vector<Value> pending;
  size_t base = pending.size();
  // Also when a malformed item unwinds (a harness's end of request).
  struct Release {
    size_t base;
    ~Release() { pending.resize(base); }
  } release{base};
  while (peek(cursor) != 'e') {
    std::string_view key;
    if (value.kind == Value::Kind::dictionary) {
      if (!is_digit(peek(cursor))) malformed(cursor, "dictionary key is not a string");
      key = read_string(cursor);
    }
    pending.push_back(read_value(cursor, depth + 1));
    pending.back().key = key;
  }
  ++cursor.at;
  value.items.assign(std::make_move_iterator(pending.begin() + ptrdiff_t(base)),
                     std::make_move_iterator(pending.end()));
  return value;
}

namespace {

// Collected locally and handed over once: the response buffer is the
// process's own and costs a call per piece.
void print_to(const Value& value, std::string& out) {
  switch (value.kind) {
    case Value::Kind::string: {
      std::string_view text = printed(value.text);
      refuse_long_name(text);
      out += '\'';
      out += escape_script(text);
      out += '\'';
      break;
    }
    case Value::Kind::integer:
      out += std::to_string(value.number);
      break;
    case Value::Kind::list: {
      out += '[';
      bool first = true;
      for (const Value& item : value.items) {
        if (!first) out += ',';
        first = false;
        print_to(item, out);
      }
      out += ']';
      break;
    }
    case Value::Kind::dictionary: {
      out += '{';
      bool first = true;
      for (const Value& item : value.items) {
        std::string_view key = printed(item.key);
        if (key == "pieces") continue;  // the piece hashes: long and binary
        if (!first) out += ',';
        first = false;
        out += '\'';
        out += escape_script(key);
        out += "':";
        print_to(item, out);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

void print_value(const Value& value) {
  std::string text;
  print_to(value, text);
  out_append(text);
}

}  // namespace kiv::torrent
