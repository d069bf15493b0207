#include "common/job_record.h"

#include <algorithm>
#include <charconv>

#include "common/file.h"

#include "common/quote.h"

namespace kiv {
namespace {

constexpr std::string_view kWishWords[] = {"", "running", "stopped", "queued"};
/// Line 6 of a job started outside the queue.
constexpr std::string_view kOutsideMark = "now";
/// Line 7 of a torrent shown with the alternative status line.
constexpr std::string_view kAlternativeMark = "asl";

JobWish wish_of(std::string_view word) {
  for (size_t i = 1; i < std::size(kWishWords); ++i)
    if (word == kWishWords[i]) return JobWish(i);
  return JobWish::unknown;
}

}  // namespace

bool is_job_name(std::string_view name) {
  return !name.empty() && name.size() <= kMaxNameLength && name[0] != '.' &&
         name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                "0123456789._-") == std::string_view::npos;
}

bool is_job_log(std::string_view name) {
  return name.ends_with(".wgt") || name.ends_with(".tor");
}

std::string record_of_log(std::string_view log) {
  return std::string(log.substr(0, std::min(log.rfind('.'), log.size())));
}

std::string record_text(const JobRecord& record) {
  std::string text = record.pid + "\n" + record.source + "\n" + record.options + "\n";
  bool alternative = record.status_line == StatusLine::alternative;
  if (!record.folder && !alternative) return text;
  text += record.folder.value_or("") + "\n";
  if (record.wish == JobWish::unknown && !alternative) return text;
  text += std::string(kWishWords[size_t(record.wish)]) + "\n";
  std::string place;
  if (record.wish == JobWish::queued)
    place = std::to_string(record.turn);
  else if (record.wish == JobWish::running && record.slot == QueueSlot::outside)
    place = kOutsideMark;
  if (!place.empty() || alternative) text += place + "\n";
  if (alternative) text += std::string(kAlternativeMark) + "\n";
  return text;
}

bool write_job_record(const std::string& path, const JobRecord& record) {
  return replace_file(path, record_text(record), 0600);
}

JobRecord parse_record(std::string_view text) {
  auto next_line = [&text](size_t width) {
    size_t end = std::min(text.find('\n'), text.size());
    std::string line(text.substr(0, std::min(end, width)));
    text.remove_prefix(std::min(end + 1, text.size()));
    return line;
  };
  JobRecord record;
  record.pid = next_line(kPidTextLength);
  record.source = next_line(kRecordLineLength);
  record.options = next_line(kRecordLineLength);
  if (!text.empty()) record.folder = next_line(kRecordLineLength);
  if (!text.empty()) record.wish = wish_of(next_line(kRecordLineLength));
  std::string place = next_line(kRecordLineLength);
  if (record.wish == JobWish::queued) {
    const char* end = place.data() + place.size();
    if (std::from_chars(place.data(), end, record.turn).ptr != end) record.turn = 0;
  }
  if (record.wish == JobWish::running && place == kOutsideMark) record.slot = QueueSlot::outside;
  if (next_line(kRecordLineLength) == kAlternativeMark) record.status_line = StatusLine::alternative;
  return record;
}

std::optional<JobRecord> read_record(std::string_view text) {
  if (!text.ends_with('\n')) return std::nullopt;
  size_t lines = 0;
  for (std::string_view rest = text; !rest.empty(); ++lines) {
    size_t end = rest.find('\n');
    size_t width = lines == 0 ? kPidTextLength : kRecordLineLength;
    if (end > width) return std::nullopt;
    if (lines == 0 && end > 0 &&
        (rest[0] == '0' || rest.substr(0, end).find_first_not_of("0123456789") !=
                               std::string_view::npos))
      return std::nullopt;
    rest.remove_prefix(end + 1);
  }
  if (lines < 3) return std::nullopt;
  return parse_record(text);
}

}  // namespace kiv
