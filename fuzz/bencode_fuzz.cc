// The bencode reader and printer: the check accepts exactly what a reference
// reading accepts (refusing long strings only in well-formed data), and
// what it accepts prints as a script object that the front end's kind of
// parser reads back to the reference tree (strings and keys up to their
// first zero byte, "pieces" left out).
#include <cstdlib>
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

/// The reference reading of bencoded data, written apart from the reader
/// under test (numbers through strtoll): the value at `at` as the front end
/// should see it, or nothing when the data is not bencoding.
class Model {
 public:
  explicit Model(std::string_view data) : data_(data) {}
  std::optional<Seen> value(int depth = 0, bool shown = true) {
    if (at_ >= data_.size()) return std::nullopt;
    char c = data_[at_];
    Seen seen;
    if (c >= '0' && c <= '9') {
      std::optional<std::string> text = string();
      if (!text) return std::nullopt;
      seen.kind = Seen::Kind::string;
      seen.text = printed(*text);
      if (shown && seen.text.size() > 500) too_long = true;
      return seen;
    }
    if (c == 'i') {
      ++at_;
      std::optional<long long> number = number_before('e');
      if (!number) return std::nullopt;
      seen.kind = Seen::Kind::integer;
      seen.text = std::to_string(*number);
      return seen;
    }
    if ((c != 'l' && c != 'd') || depth >= torrent::kMaxDepth) return std::nullopt;
    bool dictionary = c == 'd';
    seen.kind = dictionary ? Seen::Kind::dictionary : Seen::Kind::list;
    ++at_;
    while (at_ < data_.size() && data_[at_] != 'e') {
      std::string key;
      if (dictionary) {
        if (data_[at_] < '0' || data_[at_] > '9') return std::nullopt;
        std::optional<std::string> text = string();
        if (!text) return std::nullopt;
        key = printed(*text);
      }
      bool pieces = dictionary && key == "pieces";
      std::optional<Seen> item = value(depth + 1, shown && !pieces);
      if (!item) return std::nullopt;
      if (!pieces) seen.items.emplace_back(key, std::move(*item));
    }
    if (at_ >= data_.size()) return std::nullopt;
    ++at_;
    return seen;
  }

  bool too_long = false;  // a shown string is over the name limit
  size_t at() const { return at_; }

 private:
  /// A number as strtoll reads it, which `end` must follow.
  std::optional<long long> number_before(char end) {
    std::string rest(data_.substr(at_, data_.find(end, at_) - at_));
    char* stop = nullptr;
    long long number = std::strtoll(rest.c_str(), &stop, 10);
    at_ += size_t(stop - rest.c_str());
    if (at_ >= data_.size() || data_[at_] != end) return std::nullopt;
    ++at_;
    return number;
  }

  std::optional<std::string> string() {
    std::optional<long long> length = number_before(':');
    if (!length || *length < 0 || uint64_t(*length) > data_.size() - at_) return std::nullopt;
    std::string text(data_.substr(at_, size_t(*length)));
    at_ += size_t(*length);
    return text;
  }

  std::string_view data_;
  size_t at_ = 0;
};

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
  // At most four characters are printed per byte read: the whole object
  // stays in the response buffer, never written out half-way.
  if (size >= kiv::kSpillLength / 4) return 0;
  // A copy of exactly the input's size: reading a byte past it is caught.
  std::vector<char> copy(data, data + size);
  std::string_view bytes(copy.data(), size);
  Model model(bytes);
  std::optional<Seen> expected = model.value();

  kiv::torrent::Cursor check{bytes};
  int status = run_request([&] { kiv::torrent::check_value(check); });
  if (status != -1) {
    KIV_CHECK(status == 0, "status " + std::to_string(status));
    // Malformed data is named before any long string.
    std::string_view message = !expected ? "Malformed torrent data:" : "Filename too long please shorten it: ";
    KIV_CHECK(kiv::out_text().find(message) != std::string::npos, shown(kiv::out_text()));
    KIV_CHECK(!expected || model.too_long, "refused a value that prints: " + shown(kiv::out_text()));
    return 0;
  }
  KIV_CHECK(expected && !model.too_long, "accepted what cannot print");
  KIV_CHECK(check.at == model.at(), "the value ends elsewhere");

  kiv::out_reset();
  kiv::torrent::Cursor cursor{bytes};
  status = run_request([&] { kiv::torrent::print_value(cursor); });
  KIV_CHECK(status == -1, "printing ended the request: " + shown(kiv::out_text()));
  KIV_CHECK(cursor.at == check.at, "printing ended elsewhere than checking");
  std::string text = kiv::out_text();
  std::optional<Seen> parsed = Parser(text).whole();
  KIV_CHECK(parsed, "the printed object does not parse: " + shown(text));
  KIV_CHECK(*parsed == *expected, "the printed object reads back differently: " + shown(text));
  return 0;
}
