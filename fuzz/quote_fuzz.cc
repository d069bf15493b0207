// Each quoting function against a model of what consumes its output: the
// quoted text, read back the way its consumer reads it, is the original
// and nothing in it can end the quote early or be expanded.
#include <optional>
#include <string>

#include "common/quote.h"
#include "fuzz/harness.h"

namespace kiv::fuzz {
namespace {

/// The shell reading one word made of 'quoted' runs (literal up to the next
/// apostrophe) and \' (an apostrophe outside the quotes); anything else
/// outside the quotes could split the word or be expanded.
std::optional<std::string> shell_word_text(std::string_view word) {
  std::string out;
  size_t at = 0;
  if (word.empty()) return std::nullopt;
  while (at < word.size()) {
    if (word.substr(at, 2) == "\\'") {
      out += '\'';
      at += 2;
      continue;
    }
    if (word[at] != '\'') return std::nullopt;
    size_t end = word.find('\'', at + 1);
    if (end == std::string_view::npos) return std::nullopt;  // unterminated
    out += word.substr(at + 1, end - at - 1);
    at = end + 1;
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

/// A script engine reading a string literal between `quote`s, byte-wise;
/// raw line terminators (LF, CR, U+2028, U+2029) end it with an error.
std::optional<std::string> script_string(std::string_view quoted, char quote) {
  std::string out;
  for (size_t at = 0; at < quoted.size(); ++at) {
    char c = quoted[at];
    if (c == quote || c == '\n' || c == '\r') return std::nullopt;
    if (quoted.substr(at, 3) == "\xE2\x80\xA8" || quoted.substr(at, 3) == "\xE2\x80\xA9")
      return std::nullopt;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++at == quoted.size()) return std::nullopt;
    char e = quoted[at];
    if (e == 'n') {
      out += '\n';
    } else if (e == 'r') {
      out += '\r';
    } else if (e == 't') {
      out += '\t';
    } else if (e == 'x') {
      if (at + 2 >= quoted.size()) return std::nullopt;
      int high = hex_value(quoted[at + 1]), low = hex_value(quoted[at + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += char(high * 16 + low);  // only codes below 0x80 are written so
      at += 2;
    } else if (e == 'u') {
      std::string_view code = quoted.substr(at + 1, 4);
      if (code == "2028")
        out += "\xE2\x80\xA8";
      else if (code == "2029")
        out += "\xE2\x80\xA9";
      else
        return std::nullopt;  // nothing else is written so
      at += 4;
    } else if (e == '\\' || e == '\'' || e == '"') {
      out += e;
    } else {
      return std::nullopt;  // the escaper writes no other escape
    }
  }
  return out;
}

/// An HTML parser reading text or a quoted attribute value: line ends are
/// normalised (CR LF and lone CR become LF) before anything else, markup
/// characters may not stand raw, entities are the ones the escaper writes.
std::optional<std::string> html_text(std::string_view quoted, bool unquoted) {
  std::string out;
  for (size_t at = 0; at < quoted.size(); ++at) {
    char c = quoted[at];
    if (c == '<' || c == '>' || c == '"' || c == '\'') return std::nullopt;
    if (unquoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '=' ||
                     c == '`'))
      return std::nullopt;
    if (c == '\r') {
      out += '\n';
      if (quoted.substr(at + 1, 1) == "\n") ++at;
      continue;
    }
    if (c != '&') {
      out += c;
      continue;
    }
    size_t end = quoted.find(';', at);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view name = quoted.substr(at + 1, end - at - 1);
    if (name == "amp") out += '&';
    else if (name == "lt") out += '<';
    else if (name == "gt") out += '>';
    else if (name == "quot") out += '"';
    else if (name.size() >= 2 && name.size() <= 4 && name[0] == '#' &&
             name.find_first_not_of("0123456789", 1) == std::string_view::npos)
      out += char(std::stoi(std::string(name.substr(1))));
    else return std::nullopt;
    at = end;
  }
  return out;
}

void expect(std::string_view function, std::string_view input, std::string_view quoted,
            const std::optional<std::string>& read) {
  KIV_CHECK(read && *read == input,
            std::string(function) + " of " + shown(input) + " gave " + shown(quoted) +
                (read ? ", read back as " + shown(*read) : ", which its consumer refuses"));
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv::fuzz;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  bool too_long = input.size() > kiv::kMaxNameLength;

  std::string quoted;
  int status = run_request([&] { quoted = kiv::shell_word(input); });
  KIV_CHECK(status == (too_long ? 0 : -1), "shell_word status " + std::to_string(status));
  if (!too_long) expect("shell_word", input, quoted, shell_word_text(quoted));

  for (char quote : {'\'', '"'}) {
    quoted = kiv::escape_script(input, quote);
    expect(quote == '"' ? "escape_script with \"" : "escape_script with '", input, quoted,
           script_string(quoted, quote));
  }

  // File names and form values reach the HTML escapers; neither holds NUL.
  if (input.find('\0') == std::string_view::npos) {
    quoted = kiv::escape_html(input);
    expect("escape_html", input, quoted, html_text(quoted, false));
    quoted = kiv::escape_html_unquoted(input);
    expect("escape_html_unquoted", input, quoted, html_text(quoted, true));
  }
  return 0;
}
