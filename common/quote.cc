#include "common/quote.h"

#include "common/response.h"

namespace kiv {

void refuse_long_name(std::string_view text) {
  if (text.size() > kMaxNameLength)
    message_answer("Filename too long please shorten it: ", text);
}

std::string escape_shell_double(std::string_view text) {
  refuse_long_name(text);
  std::string quoted;
  for (char c : text) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  return quoted;
}

std::string escape_shell_single(std::string_view text) {
  refuse_long_name(text);
  std::string quoted;
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted;
}

}  // namespace kiv
