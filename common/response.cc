#include "common/response.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "common/end.h"
#include "common/file.h"

namespace kiv {
namespace {

std::string& buffer() {
  static std::string text;
  return text;
}

}  // namespace

void out_reset() { buffer().clear(); }

void out_headers(HeaderEnd end) {
  out_append(kHeaderBlock);
  if (end == HeaderEnd::closed) out_append("\n");
}

void out_append(std::string_view text) { buffer().append(text); }

const std::string& out_text() { return buffer(); }

void out_flush() {
  // A failure means the client went away; nobody is left to tell.
  write_all(STDOUT_FILENO, buffer());
}

void out_spill() {
  if (buffer().size() < kSpillLength) return;
  out_flush();
  buffer().clear();
}

void message_answer(std::string_view message,
                    std::optional<std::string_view> detail) {
  out_reset();
  out_headers(HeaderEnd::closed);
  out_append(message);
  if (!detail) {
    out_append("(NULL)");
  } else if (!detail->empty()) {
    out_append(" ");
    out_append(*detail);
  }
  out_flush();
  end_process(0);
}

void redirect_answer(std::string_view location) {
  out_reset();
  out_headers(HeaderEnd::open);
  out_append("Location: ");
  out_append(location);
  out_append("\n\n");
  out_flush();
  end_process(0);
}

}  // namespace kiv
