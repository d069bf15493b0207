#include "common/quote.h"

#include <algorithm>

#include "common/response.h"

namespace kiv {

void refuse_long_name(std::string_view text) {
  if (text.size() > kMaxNameLength)
    message_answer("Filename too long please shorten it: ", text);
}

void refuse_longer_than(std::string_view message, std::string_view what,
                        std::string_view text, size_t limit) {
  if (text.size() <= limit) return;
  std::string detail = std::string(what.substr(0, kShownLength)) + " has " +
                       std::to_string(text.size()) + " bytes, at most " + std::to_string(limit) +
                       " are taken: ";
  size_t shown = std::min(text.size(), kShownLength);
  // Never half a UTF-8 character: back off over continuation bytes.
  while (shown < text.size() && shown > 0 && (static_cast<unsigned char>(text[shown]) & 0xC0) == 0x80)
    --shown;
  detail += text.substr(0, shown);
  if (shown < text.size()) detail += "...";
  message_answer(message, detail);
}

std::string shell_word(std::string_view text) {
  refuse_long_name(text);
  std::string word = "'";
  for (char c : text) {
    if (c == '\'')
      word += "'\\''";
    else
      word += c;
  }
  return word + "'";
}

std::string escape_script(std::string_view text, char quote) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Most names need nothing: hand them back as they are.
  auto plain = [quote](unsigned char c) {
    return c >= 0x20 && c != 0x7F && c != '\\' && c != static_cast<unsigned char>(quote) &&
           c != 0xE2;
  };
  if (std::all_of(text.begin(), text.end(), plain)) return std::string(text);
  std::string quoted;
  quoted.reserve(text.size() + 8);
  for (size_t at = 0; at < text.size(); ++at) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '\\' || c == static_cast<unsigned char>(quote)) {
      quoted += '\\';
      quoted += char(c);
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\r') {
      quoted += "\\r";
    } else if (c == '\t') {
      quoted += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      quoted += "\\x";
      quoted += kHex[c >> 4];
      quoted += kHex[c & 15];
    } else if (text.substr(at, 3) == "\xE2\x80\xA8" || text.substr(at, 3) == "\xE2\x80\xA9") {
      // Line and paragraph separators end a string in older script engines.
      quoted += text[at + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      at += 2;
    } else {
      quoted += char(c);
    }
  }
  return quoted;
}

std::string escape_html(std::string_view text) {
  std::string quoted;
  for (char c : text) {
    switch (c) {
      case '&': quoted += "&amp;"; break;
      case '<': quoted += "&lt;"; break;
      case '>': quoted += "&gt;"; break;
      case '"': quoted += "&quot;"; break;
      case '\'': quoted += "&#39;"; break;
      // A parser reads a raw carriage return as a line feed.
      case '\r': quoted += "&#13;"; break;
      default: quoted += c;
    }
  }
  return quoted;
}

std::string escape_html_unquoted(std::string_view text) {
  std::string quoted;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '=' || c == '`')
      quoted += "&#" + std::to_string(int(c)) + ";";
    else
      quoted += escape_html(std::string_view(&c, 1));
  }
  return quoted;
}

}  // namespace kiv
