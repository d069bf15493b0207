#include "common/job_state.h"

#include <algorithm>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>

#include "common/file.h"

namespace kiv {

std::string_view phase_name(JobPhase phase) {
  switch (phase) {
    case JobPhase::queued: return "queued";
    case JobPhase::metadata: return "metadata";
    case JobPhase::running: return "running";
    case JobPhase::seeding: return "seeding";
    case JobPhase::stopped: return "stopped";
    case JobPhase::finished: return "finished";
    case JobPhase::failed: return "failed";
  }
  return "stopped";
}

LogEnds read_log_ends(const std::string& path) {
  LogEnds ends;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ends;
  // A short log is all tail.
  off_t tail_start = std::max(st.st_size - off_t(kLogTailLength), off_t(0));
  ends.tail = read_range(fd.get(), tail_start, kLogTailLength).value_or("");
  ends.head = tail_start == 0 ? ends.tail.substr(0, kLogHeadLength)
                              : read_range(fd.get(), 0, kLogHeadLength).value_or("");
  return ends;
}

std::optional<long long> unit_bytes(std::string_view figure) {
  long long scale = 1;
  if (!figure.empty()) {
    switch (figure.back()) {
      case 'K': scale = 1LL << 10; break;
      case 'M': scale = 1LL << 20; break;
      case 'G': scale = 1LL << 30; break;
      case 'T': scale = 1LL << 40; break;
    }
    if (scale > 1) figure.remove_suffix(1);
  }
  // Whole and hundredths apart: no floating point for a byte count.
  size_t dot = std::min(figure.find('.'), figure.size());
  std::string_view whole = figure.substr(0, dot), fraction = figure.substr(std::min(dot + 1, figure.size()));
  long long units = 0, hundredths = 0;
  auto [end, error] = std::from_chars(whole.data(), whole.data() + whole.size(), units);
  if (whole.empty() || error != std::errc() || end != whole.data() + whole.size() || units < 0 ||
      units > (1LL << 62) / scale)
    return std::nullopt;
  if (dot < figure.size()) {
    if (fraction.empty() || fraction.size() > 2 ||
        fraction.find_first_not_of("0123456789") != std::string_view::npos)
      return std::nullopt;
    hundredths = (fraction[0] - '0') * 10 + (fraction.size() > 1 ? fraction[1] - '0' : 0);
  }
  return units * scale + hundredths * scale / 100;
}

}  // namespace kiv
