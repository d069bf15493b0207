// Request decoding against an independent model of the decoding rules.
// Input: the query string, a line feed, the cookie header, a line feed,
// the body. A leading "!" makes CONTENT_LENGTH claim one byte more than
// the body holds.
#include <cstring>
#include <map>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "common/request.h"
#include "common/response.h"
#include "fuzz/harness.h"

extern char** environ;

namespace kiv::fuzz {
namespace {

using Fields = std::map<std::string, std::string>;

int model_hex(unsigned char v) { return v < 65 ? v - 48 : (v & 0xDF) - 55; }

bool capital_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

std::string model_decode(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '%') {
      out += text[at];
      continue;
    }
    if (text.size() - at < 3) break;  // "%" without two characters: cut there
    char x = text[at + 1], y = text[at + 2];
    unsigned code = unsigned(16 * model_hex(x) + model_hex(y)) & 0xFF;
    if (x >= 'A' && x <= 'F' && capital_hex(y)) {
      // A Latin-1 code written in capitals: its UTF-8 form, no-break space
      // as a plain one.
      if (code == 0xA0)
        out += ' ';
      else if (code < 0xC0)
        out += {char(0xC2), char(code)};
      else
        out += {char(0xC3), char(code - 0x40)};
    } else {
      out += char(code);
    }
    at += 2;
  }
  return out.substr(0, out.find('\0'));
}

void model_pairs(std::string_view text, char separator, Fields& fields) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(separator, at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view token = text.substr(at, end - at);
    at = end + 1;
    while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
    token = token.substr(0, 990);
    size_t equals = token.find('=');
    if (token.empty() || equals == std::string_view::npos) continue;
    fields["FORM_" + std::string(token.substr(0, equals))] = model_decode(token.substr(equals + 1));
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

  Fields expected;
  std::string plus_as_blank = query;
  for (char& c : plus_as_blank)
    if (c == '+') c = ' ';
  model_pairs(plus_as_blank, '&', expected);
  model_pairs(cookie, ';', expected);
  bool body_read = true;
  if (short_body) {
    body_read = false;  // ends the request: no body field may be used
  } else {
    // Read in chunks of 200 bytes, each one ending at its first zero byte.
    std::string text;
    for (size_t at = 0; at < body.size(); at += 200) {
      std::string_view chunk = body.substr(at, 200);
      text += chunk.substr(0, chunk.find('\0'));
    }
    model_pairs(text, '&', expected);
  }

  int status = run_request(kiv::decode_request);
  Fields got = form_variables();
  clear_form_variables();

  KIV_CHECK(status == (body_read ? -1 : 0), "status " + std::to_string(status) + ": " + shown(kiv::out_text()));
  KIV_CHECK(got == expected, "expected:\n" + describe(expected) + "got:\n" + describe(got));
  return 0;
}
