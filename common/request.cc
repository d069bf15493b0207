#include "common/request.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "common/quote.h"
#include "common/response.h"

namespace kiv {
namespace {

bool is_capital_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

/// Splits `text` at any of `separators` and sets `prefix` + name := decoded
/// value for each token that holds "=". Leading blanks of a token are
/// skipped. Ends the request on a value longer than kFieldLength or one
/// that does not decode whole (url_decode).
void set_form_pairs(std::string_view text, std::string_view separators,
                    std::string_view prefix) {
  size_t at = 0;
  while ((at = text.find_first_not_of(separators, at)) != std::string_view::npos) {
    size_t end = std::min(text.find_first_of(separators, at), text.size());
    std::string_view token = text.substr(at, end - at);
    at = end;

    token.remove_prefix(std::min(token.find_first_not_of(' '), token.size()));
    size_t equals = token.find('=');
    if (equals == std::string_view::npos) continue;  // every field carries "="

    std::string_view field = token.substr(0, equals);
    std::string value(token.substr(equals + 1));
    // A field is taken whole or not at all: a cut one could name another
    // file (a folder above the one meant).
    refuse_longer_than(kFieldTooLong, "field name", field, kFieldLength);
    if (!url_decode(value)) message_answer("Malformed request field:", field);
    refuse_longer_than(kFieldTooLong, field, value, kFieldLength);
    std::string name(prefix);
    name += field;
    setenv(name.c_str(), value.c_str(), 1);
  }
}

void read_body(const char* length_text) {
  long long length = strtoll(length_text, nullptr, 10);
  if (length <= 0) return;
  if (length > kMaxBodyLength) message_answer("Request body too large:", length_text);

  std::string body;
  long long missing = length;
  char chunk[kBodyChunk];
  while (missing > 0) {
    ssize_t n = read_some(STDIN_FILENO, chunk, size_t(std::min<long long>(missing, kBodyChunk)));
    // A body cut short could carry a cut name: act on none of it.
    if (n <= 0) message_answer("Request body ended early:", length_text);
    missing -= n;
    body.append(chunk, size_t(n));
  }
  // Read as text, it would end there: a cut name.
  if (body.find('\0') != std::string::npos) message_answer("Request body holds a zero byte", "");
  set_form_pairs(body, "&", "FORM_");
}

}  // namespace

unsigned char hex_byte(char high, char low) {
  auto value = [](unsigned char v) { return v < 65 ? v - 48 : (v & 0xDF) - 55; };
  return static_cast<unsigned char>(16 * value(high) + value(low));
}

/// The bytes that the escape at `escape` ("%XY...") stands for: a Latin-1
/// code written with capitals (%A1..%FF) becomes its UTF-8 form, anything
/// else the single byte.
static std::string decode_escape(std::string_view escape) {
  char x = escape[1], y = escape[2];
  if (x >= 'A' && x <= 'F' && is_capital_hex(y)) {
    unsigned char code = hex_byte(x, y);
    if (code == 0xA0) return " ";
    if (code < 0xC0) return {char(0xC2), char(code)};
    return {char(0xC3), char(code - 0x40)};
  }
  return std::string(1, char(hex_byte(x, y)));
}

bool url_decode(std::string& text) {
  std::string decoded;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '%') {
      decoded += text[at];
    } else if (text.size() - at < 3) {
      text = decoded;
      return false;
    } else {
      decoded += decode_escape(std::string_view(text).substr(at, 3));
      at += 2;
    }
  }
  size_t zero = decoded.find('\0');
  text = decoded.substr(0, zero);
  return zero == std::string::npos;
}

std::optional<std::string> form_field(std::string_view field, size_t limit,
                                      std::string_view message) {
  const char* value = getenv(("FORM_" + std::string(field)).c_str());
  if (!value) return std::nullopt;
  refuse_longer_than(message, field, value, limit);
  return std::string(value);
}

std::optional<std::string> cookie_value(std::string_view header, std::string_view name) {
  size_t at = 0;
  while (at < header.size()) {
    size_t end = std::min(header.find(';', at), header.size());
    std::string_view token = header.substr(at, end - at);
    at = end + 1;
    token.remove_prefix(std::min(token.find_first_not_of(' '), token.size()));
    if (token.starts_with(name) && token.substr(name.size()).starts_with('='))
      return std::string(token.substr(name.size() + 1));
  }
  return std::nullopt;
}

void decode_request() {
  // First, so that a field sent with the request itself wins.
  if (const char* cookie = getenv("HTTP_COOKIE"))
    if (std::optional<std::string> value = cookie_value(cookie, kCookieField))
      set_form_pairs(std::string(kCookieField) + "=" + *value, "", "FORM_");
  if (const char* query = getenv("QUERY_STRING")) {
    std::string copy(query);
    for (char& c : copy)
      if (c == '+') c = ' ';
    set_form_pairs(copy, "&", "FORM_");
  }
  if (const char* length = getenv("CONTENT_LENGTH")) read_body(length);
}

void start_request(std::string_view program_path, Callers callers, Body body) {
  read_config(program_path, ConfigMode::plain);
  refuse_foreign_request(callers);
  if (body == Body::form) decode_request();
}

}  // namespace kiv
