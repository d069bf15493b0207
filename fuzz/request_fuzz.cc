// Request decoding against a model written from the decoding rules (not
// from the decoder's arithmetic): an escape that is not hexadecimal stands
// for one byte of any value.
// Input: the query string, a line feed, the cookie header, a line feed,
// the body. A leading "!" makes CONTENT_LENGTH claim one byte more than
// the body holds.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "common/request.h"
#include "common/response.h"
#include "fuzz/harness.h"

extern char** environ;

namespace kiv::fuzz {
namespace {

using Fields = std::map<std::string, std::string>;

// A field (its name, or its value once decoded) longer than this refuses
// the request; nothing is cut.
constexpr size_t kFieldLimit = 990;
// The one cookie that gives a field, under exactly this name.
constexpr std::string_view kCookieName = "curdir";

/// A decoded value as the rules fix it: each element a byte, or -1 for the
/// one byte of an escape that is not hexadecimal, whose value the rules
/// leave open.
using Pattern = std::vector<int>;
using ExpectedFields = std::map<std::string, Pattern>;

int hex_digit(char c) {
  const char* digits = "0123456789abcdef";
  const char* capitals = "ABCDEF";
  if (const char* at = c ? strchr(digits, c) : nullptr) return int(at - digits);
  if (const char* at = c ? strchr(capitals, c) : nullptr) return int(at - capitals) + 10;
  return -1;
}

/// Percent escapes: "%XY" of two hexadecimal digits stands for that byte,
/// but when X is a capital A-F and Y a digit or capital, for the Latin-1
/// character XY in UTF-8 (%A0, the no-break space, for a plain space); any
/// other "%XY" for one byte. A "%" without two characters after it, or a
/// decoded zero byte, refuses the request (`cut`); `open` when an open byte
/// could be zero.
struct Decoded {
  Pattern bytes;
  bool cut = false, open = false;
};

Decoded decoded(std::string_view text) {
  Decoded result;
  Pattern& out = result.bytes;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '%') {
      out.push_back((unsigned char)text[at]);
      continue;
    }
    if (at + 2 >= text.size()) {
      result.cut = true;
      break;
    }
    char x = text[at + 1], y = text[at + 2];
    at += 2;
    int high = hex_digit(x), low = hex_digit(y);
    if (high < 0 || low < 0) {
      out.push_back(-1);
      result.open = true;
      continue;
    }
    int code = high * 16 + low;
    bool latin1 = x >= 'A' && x <= 'F' && (isdigit((unsigned char)y) || (y >= 'A' && y <= 'F'));
    if (!latin1) {
      if (code == 0) {
        result.cut = true;
        break;
      }
      out.push_back(code);
    } else if (code == 0xA0) {
      out.push_back(' ');
    } else {
      out.push_back(0xC0 | (code >> 6));
      out.push_back(0x80 | (code & 0x3F));
    }
  }
  return result;
}

/// Whether `got` is a value the pattern allows: an open byte is any but
/// zero (a zero one would have refused the request).
bool allows(const Pattern& pattern, std::string_view got) {
  for (size_t at = 0; at < pattern.size(); ++at) {
    if (at < got.size() && pattern[at] == -1 && got[at] == 0) return false;
    if (at == got.size() || (pattern[at] != -1 && pattern[at] != (unsigned char)got[at])) return false;
  }
  return got.size() == pattern.size();
}

/// What the rules make of the request so far.
struct Verdict {
  bool refused = false;        // surely
  bool maybe_refused = false;  // when an open byte is zero
};

/// One field, taken whole or refusing the request.
void add_field(std::string_view name, std::string_view value, ExpectedFields& fields,
               Verdict& verdict) {
  Decoded value_bytes = decoded(value);
  if (name.size() > kFieldLimit || value_bytes.cut || value_bytes.bytes.size() > kFieldLimit) {
    verdict.refused = true;
    return;
  }
  if (value_bytes.open) verdict.maybe_refused = true;
  fields["FORM_" + std::string(name)] = value_bytes.bytes;
}

/// The tokens of `text` split at `separator`, blanks before each skipped.
std::vector<std::string_view> tokens(std::string_view text, char separator) {
  std::vector<std::string_view> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = std::min(text.find(separator, at), text.size());
    std::string_view token = text.substr(at, end - at);
    at = end + 1;
    token.remove_prefix(std::min(token.find_first_not_of(' '), token.size()));
    out.push_back(token);
  }
  return out;
}

/// The fields of `text` split at `separator`: a run of separators is one,
/// a field without "=" gives nothing, the name is taken as written; a later
/// field of the same name wins.
void fields_of(std::string_view text, char separator, ExpectedFields& fields, Verdict& verdict) {
  for (std::string_view token : tokens(text, separator)) {
    size_t equals = token.find('=');
    if (equals == std::string_view::npos) continue;
    add_field(token.substr(0, equals), token.substr(equals + 1), fields, verdict);
  }
}

/// The first cookie named exactly kCookieName gives its one field; no
/// other cookie gives any.
void cookie_field(std::string_view header, ExpectedFields& fields, Verdict& verdict) {
  for (std::string_view token : tokens(header, ';')) {
    if (token.size() > kCookieName.size() && token.substr(0, kCookieName.size()) == kCookieName &&
        token[kCookieName.size()] == '=') {
      add_field(kCookieName, token.substr(kCookieName.size() + 1), fields, verdict);
      return;
    }
  }
}

Fields form_variables() {
  Fields fields;
  for (char** entry = environ; *entry; ++entry) {
    std::string_view text = *entry;
    if (text.substr(0, 5) != "FORM_") continue;
    size_t equals = text.find('=');
    fields[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
  }
  return fields;
}

void clear_form_variables() {
  for (const auto& [name, value] : form_variables()) unsetenv(name.c_str());
}

std::string describe(const Fields& fields) {
  std::string out;
  for (const auto& [name, value] : fields) out += shown(name) + " = " + shown(value) + "\n";
  return out;
}

std::string describe(const ExpectedFields& fields) {
  std::string out;
  for (const auto& [name, pattern] : fields) {
    out += shown(name) + " = ";
    for (int byte : pattern) out += byte < 0 ? "?" : shown(std::string(1, char(byte)));
    out += "\n";
  }
  return out;
}

bool matches(const Fields& got, const ExpectedFields& expected) {
  if (got.size() != expected.size()) return false;
  for (const auto& [name, pattern] : expected) {
    auto found = got.find(name);
    if (found == got.end() || !allows(pattern, found->second)) return false;
  }
  return true;
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv::fuzz;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  bool short_body = !input.empty() && input.front() == '!';
  if (short_body) input.remove_prefix(1);
  size_t first = input.find('\n');
  size_t second = first == std::string_view::npos ? first : input.find('\n', first + 1);
  if (second == std::string_view::npos) return 0;
  // The environment holds no zero bytes: a value ends at the first one.
  auto as_variable = [](std::string_view text) { return std::string(text.substr(0, text.find('\0'))); };
  std::string query = as_variable(input.substr(0, first));
  std::string cookie = as_variable(input.substr(first + 1, second - first - 1));
  std::string_view body = input.substr(second + 1);
  if (body.size() > size_t(kiv::kMaxBodyLength)) return 0;

  clear_form_variables();
  setenv("QUERY_STRING", query.c_str(), 1);
  setenv("HTTP_COOKIE", cookie.c_str(), 1);
  std::string length = std::to_string(body.size() + (short_body ? 1 : 0));
  setenv("CONTENT_LENGTH", length.c_str(), 1);
  // The body on standard input, as the web server passes it.
  int memory = memfd_create("body", 0);
  if (write(memory, body.data(), body.size()) != ssize_t(body.size())) abort();
  lseek(memory, 0, SEEK_SET);
  if (memory != STDIN_FILENO) {
    dup2(memory, STDIN_FILENO);
    close(memory);
  }

  // The curdir cookie, the query, the body in that order, each
  // overwriting; "+" is a blank in the query string only, before any escape
  // is decoded.
  ExpectedFields expected;
  Verdict verdict;
  cookie_field(cookie, expected, verdict);
  std::string plus_as_blank = query;
  std::replace(plus_as_blank.begin(), plus_as_blank.end(), '+', ' ');
  fields_of(plus_as_blank, '&', expected, verdict);
  bool body_read = !short_body;  // a body that ends early ends the request: none of it is used
  if (body_read && !verdict.refused) {
    // Read as text it would end at a zero byte: a cut field.
    if (body.find('\0') != std::string_view::npos)
      verdict.refused = true;
    else
      fields_of(body, '&', expected, verdict);
  }

  int status = run_request(kiv::decode_request);
  Fields got = form_variables();
  clear_form_variables();

  bool served = body_read && !verdict.refused;
  bool open = served && verdict.maybe_refused && status == 0;
  KIV_CHECK(open || status == (served ? -1 : 0), "status " + std::to_string(status) + ": " + shown(kiv::out_text()));
  // A refused request uses no field: which ones were set by then is moot.
  KIV_CHECK(!served || open || matches(got, expected), "expected:\n" + describe(expected) + "got:\n" + describe(got));
  return 0;
}
