#include "common/wget_log.h"

#include <cerrno>
#include <unistd.h>

namespace kiv {
namespace {

constexpr std::string_view kSavingPrefix = "Saving to: ";

/// `quoted` without its quotes and with wget's escapes undone.
std::optional<std::string> unquote(std::string_view quoted) {
  for (auto [open, close] : {std::pair<std::string_view, std::string_view>{"'", "'"},
                             {"\u2018", "\u2019"}}) {
    if (quoted.size() < open.size() + close.size() || !quoted.starts_with(open) ||
        !quoted.ends_with(close))
      continue;
    std::string_view inner = quoted.substr(open.size(), quoted.size() - open.size() - close.size());
    std::string name;
    for (size_t at = 0; at < inner.size(); ++at) {
      std::string_view rest = inner.substr(at + 1);
      if (inner[at] != '\\') {
        name += inner[at];
      } else if (rest.starts_with('\\') || rest.starts_with('\'')) {
        name += rest[0];
        at += 1;
      } else if (rest.size() >= 3 && rest[0] <= '3' &&
                 rest.substr(0, 3).find_first_not_of("01234567") == std::string_view::npos) {
        name += char((rest[0] - '0') * 64 + (rest[1] - '0') * 8 + (rest[2] - '0'));
        at += 3;
      } else {
        return std::nullopt;  // another escape: a name not taken as known
      }
    }
    return name;
  }
  return std::nullopt;
}

}  // namespace

namespace {

enum class Which { first, last };

/// The first or last complete line of the log read through `fd` that begins
/// with `prefix`, line feed included, shorter than `longest`; "" for none.
std::optional<std::string> line_with(int fd, std::string_view prefix, size_t longest, Which which) {
  std::string found;
  std::string line;       // the current line, while it may still be one
  bool skipping = false;  // the current line is none: wait for its end
  char buffer[4096];
  for (off_t offset = 0;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return found;
    offset += n;
    for (char c : std::string_view(buffer, size_t(n))) {
      if (c == '\n') {
        if (!skipping && line.starts_with(prefix)) {
          found = line + '\n';
          if (which == Which::first) return found;
        }
        line.clear();
        skipping = false;
      } else if (!skipping) {
        line += c;
        skipping = line.size() >= longest ||
                   !prefix.starts_with(std::string_view(line).substr(0, prefix.size()));
        if (skipping) line.clear();
      }
    }
  }
}

}  // namespace

std::optional<std::string> first_saving_line(int fd) {
  return line_with(fd, kSavingPrefix, kSavingLineLength, Which::first);
}

std::optional<std::string> last_length_line(int fd) {
  return line_with(fd, "Length: ", kLengthLineLength, Which::last);
}

std::optional<std::string> saved_name(std::string_view line) {
  if (!line.starts_with(kSavingPrefix) || !line.ends_with('\n')) return std::nullopt;
  line.remove_prefix(kSavingPrefix.size());
  line.remove_suffix(1);
  std::optional<std::string> name = unquote(line);
  if (!name || name->empty() || *name == "-" || name->find('\0') != std::string::npos)
    return std::nullopt;
  return name;
}

}  // namespace kiv
