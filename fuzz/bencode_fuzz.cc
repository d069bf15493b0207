// The bencode reader and printer: whatever the reader accepts prints as a
// script object that the front end's kind of parser reads back to the same
// tree (strings and keys up to their first zero byte, "pieces" left out).
#include <optional>
#include <string>
#include <vector>

#include "common/response.h"
#include "fuzz/harness.h"
#include "torrent/bencode.h"

namespace kiv::fuzz {
namespace {

/// A value as the front end sees it.
struct Seen {
  enum class Kind { string, integer, list, dictionary } kind = Kind::integer;
  std::string text;  // string, or the integer's decimal text
  std::vector<std::pair<std::string, Seen>> items;  // keys empty in lists
  bool operator==(const Seen&) const = default;
};

std::string printed(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

Seen expected(const torrent::Value& value) {
  using Kind = torrent::Value::Kind;
  Seen seen;
  switch (value.kind) {
    case Kind::string:
      seen.kind = Seen::Kind::string;
      seen.text = printed(value.text);
      break;
    case Kind::integer:
      seen.kind = Seen::Kind::integer;
      seen.text = std::to_string(value.number);
      break;
    case Kind::list:
    case Kind::dictionary:
      seen.kind = value.kind == Kind::list ? Seen::Kind::list : Seen::Kind::dictionary;
      for (const torrent::Value& item : value.items) {
        std::string key = value.kind == Kind::list ? "" : printed(item.key);
        if (value.kind == Kind::dictionary && key == "pieces") continue;
        seen.items.emplace_back(key, expected(item));
      }
      break;
  }
  return seen;
}

/// A small parser of the printed object: apostrophe-quoted strings with the
/// escapes \\ \' \" \n \r \t \xHH \u2028 \u2029, decimal integers, [...]
/// and {'key':value,...}. No raw line terminator may stand in a string.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}
  std::optional<Seen> whole() {
    std::optional<Seen> value = parse(0);
    if (!value || at_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  std::optional<Seen> parse(int depth) {
    if (depth > torrent::kMaxDepth + 1 || at_ >= text_.size()) return std::nullopt;
    Seen seen;
    char c = text_[at_];
    if (c == '\'') {
      seen.kind = Seen::Kind::string;
      std::optional<std::string> text = string();
      if (!text) return std::nullopt;
      seen.text = *text;
      return seen;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      seen.kind = Seen::Kind::integer;
      size_t end = text_.find_first_not_of("0123456789", at_ + 1);
      end = std::min(end, text_.size());
      seen.text = std::string(text_.substr(at_, end - at_));
      at_ = end;
      if (seen.text == "-") return std::nullopt;
      return seen;
    }
    if (c != '[' && c != '{') return std::nullopt;
    bool dictionary = c == '{';
    seen.kind = dictionary ? Seen::Kind::dictionary : Seen::Kind::list;
    char close = dictionary ? '}' : ']';
    ++at_;
    if (next_is(close)) return seen;
    for (;;) {
      std::string key;
      if (dictionary) {
        std::optional<std::string> text = string();
        if (!text || !next_is(':')) return std::nullopt;
        key = *text;
      }
      std::optional<Seen> item = parse(depth + 1);
      if (!item) return std::nullopt;
      seen.items.emplace_back(key, std::move(*item));
      if (next_is(close)) return seen;
      if (!next_is(',')) return std::nullopt;
    }
  }

  bool next_is(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  }

  std::optional<std::string> string() {
    if (!next_is('\'')) return std::nullopt;
    std::string out;
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '\'') return out;
      if (c == '\n' || c == '\r') return std::nullopt;
      std::string_view rest = text_.substr(at_ - 1, 3);
      if (rest == "\xE2\x80\xA8" || rest == "\xE2\x80\xA9") return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return std::nullopt;
      char e = text_[at_++];
      if (e == 'n') out += '\n';
      else if (e == 'r') out += '\r';
      else if (e == 't') out += '\t';
      else if (e == '\\' || e == '\'' || e == '"') out += e;
      else if (e == 'x' && at_ + 2 <= text_.size() && hex(text_[at_]) >= 0 && hex(text_[at_ + 1]) >= 0) {
        out += char(hex(text_[at_]) * 16 + hex(text_[at_ + 1]));
        at_ += 2;
      } else if (e == 'u' && text_.substr(at_, 4) == "2028") {
        out += "\xE2\x80\xA8";
        at_ += 4;
      } else if (e == 'u' && text_.substr(at_, 4) == "2029") {
        out += "\xE2\x80\xA9";
        at_ += 4;
      } else {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv::fuzz;
  // A copy of exactly the input's size: reading a byte past it is caught.
  std::vector<char> copy(data, data + size);
  kiv::torrent::Cursor cursor{std::string_view(copy.data(), size)};

  std::optional<kiv::torrent::Value> root;
  int status = run_request([&] { root = kiv::torrent::read_value(cursor); });
  if (status != -1) {
    KIV_CHECK(status == 0, "status " + std::to_string(status));
    KIV_CHECK(kiv::out_text().find("Malformed torrent data:") != std::string::npos,
              shown(kiv::out_text()));
    return 0;
  }
  KIV_CHECK(cursor.at <= size, "cursor past the data");

  kiv::out_reset();
  status = run_request([&] { kiv::torrent::print_value(*root); });
  if (status != -1) {
    // Only a string over the name limit is refused.
    KIV_CHECK(kiv::out_text().find("Filename too long please shorten it: ") != std::string::npos,
              shown(kiv::out_text()));
    return 0;
  }
  std::string text = kiv::out_text();
  std::optional<Seen> parsed = Parser(text).whole();
  KIV_CHECK(parsed, "the printed object does not parse: " + shown(text));
  KIV_CHECK(*parsed == expected(*root), "the printed object reads back differently: " + shown(text));
  return 0;
}
