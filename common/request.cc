#include "common/request.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "common/response.h"

namespace kiv {
namespace {

bool is_capital_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

void read_body(const char* length_text) {
  long long length = strtoll(length_text, nullptr, 10);
  if (length <= 0) return;
  if (length > kMaxBodyLength) message_answer("Request body too large:", length_text);

  std::string body;
  long long missing = length;
  char chunk[kBodyChunk];
  while (missing > 0) {
    ssize_t n = read(STDIN_FILENO, chunk, size_t(std::min<long long>(missing, kBodyChunk)));
    if (n < 0 && errno == EINTR) continue;
    // A body cut short could carry a cut name: act on none of it.
    if (n <= 0) message_answer("Request body ended early:", length_text);
    missing -= n;
    // As text: a NUL ends what this chunk contributes.
    std::string_view piece(chunk, size_t(n));
    body.append(piece.substr(0, piece.find('\0')));
  }
  set_form_pairs(body, "&", "FORM_");
}

}  // namespace

unsigned char hex_byte(char high, char low) {
  auto value = [](unsigned char v) { return v < 65 ? v - 48 : (v & 0xDF) - 55; };
  return static_cast<unsigned char>(16 * value(high) + value(low));
}

std::string decode_escape(std::string_view escape) {
  char x = escape[1], y = escape[2];
  if (x >= 'A' && x <= 'F' && is_capital_hex(y)) {
    unsigned char code = hex_byte(x, y);
    if (code == 0xA0) return " ";
    if (code < 0xC0) return {char(0xC2), char(code)};
    return {char(0xC3), char(code - 0x40)};
  }
  return std::string(1, char(hex_byte(x, y)));
}

void url_decode(std::string& text) {
  std::string decoded;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '%') {
      decoded += text[at];
    } else if (text.size() - at < 3) {
      break;
    } else {
      decoded += decode_escape(std::string_view(text).substr(at, 3));
      at += 2;
    }
  }
  text = decoded.substr(0, decoded.find('\0'));
}

void set_form_pairs(std::string_view text, std::string_view separators,
                    std::string_view prefix) {
  size_t at = 0;
  while ((at = text.find_first_not_of(separators, at)) != std::string_view::npos) {
    size_t end = std::min(text.find_first_of(separators, at), text.size());
    std::string_view token = text.substr(at, end - at);
    at = end;

    token.remove_prefix(std::min(token.find_first_not_of(' '), token.size()));
    token = token.substr(0, kFieldLength);
    size_t equals = token.find('=');
    if (equals == std::string_view::npos) continue;  // every field carries "="

    std::string name(prefix);
    name += token.substr(0, equals);
    std::string value(token.substr(equals + 1));
    url_decode(value);
    setenv(name.c_str(), value.c_str(), 1);
  }
}

void decode_request() {
  if (const char* query = getenv("QUERY_STRING")) {
    std::string copy(query);
    for (char& c : copy)
      if (c == '+') c = ' ';
    set_form_pairs(copy, "&", "FORM_");
  }
  if (const char* cookie = getenv("HTTP_COOKIE")) set_form_pairs(cookie, ";", "FORM_");
  if (const char* length = getenv("CONTENT_LENGTH")) read_body(length);
}

}  // namespace kiv
