#include "common/resumed.h"

#include <cerrno>
#include <charconv>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"

namespace kiv {

bool write_resumed_notice(const ResumedNotice& notice) {
  std::string path = config().trkdir + kResumedNoticeName;
  if (notice.count == 0) return unlink(path.c_str()) == 0 || errno == ENOENT;
  return replace_file(
      path, std::to_string(notice.count) + " " + std::to_string(notice.when) + "\n", 0644);
}

std::optional<ResumedNotice> read_resumed_notice() {
  std::optional<std::string> text = read_file(config().trkdir + kResumedNoticeName);
  if (!text) return std::nullopt;
  ResumedNotice notice;
  const char* end = text->data() + text->size();
  auto [blank, counted] = std::from_chars(text->data(), end, notice.count);
  if (counted != std::errc() || blank == end || *blank != ' ') return std::nullopt;
  long long when = 0;
  auto [line_end, timed] = std::from_chars(blank + 1, end, when);
  if (timed != std::errc() || line_end + 1 != end || *line_end != '\n') return std::nullopt;
  notice.when = time_t(when);
  return notice;
}

}  // namespace kiv
