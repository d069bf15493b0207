#include "daemon/trim.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/aria2_state.h"
#include "common/config.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/file_choice.h"
#include "common/job_record.h"
#include "common/log_end.h"
#include "common/wget_log.h"

namespace kiv {
namespace {

constexpr mode_t kJobDirectoryMode = 0755;

/// What a log trims to, read through `fd`; nothing when it cannot be read.
struct Snapshot {
  off_t size = 0;
  std::string kept;
};

/// A log's kept head, the lines kept for readers ("" for none), each once,
/// and its latest status.
std::string kept_text(const std::string& head, const std::vector<std::string>& lines,
                      const std::string& status) {
  std::string kept = head;
  for (const std::string& line : lines)
    if (!line.empty() && line != head && line != status) kept += line;
  return kept + status;
}

/// Whose log it is, as far as the lines kept for its readers go.
enum class LogOf { aria2c, other };

/// aria2c's for a job whose record names a magnet link.
LogOf log_of(const std::string& path) {
  std::optional<std::string> record = read_file(record_of_log(path));
  return record && engine_of(parse_record(*record).source) == TorrentEngine::aria2c
             ? LogOf::aria2c
             : LogOf::other;
}

std::optional<Snapshot> take_snapshot(int fd, const struct stat& st, LogOf log) {
  std::optional<std::string> start = read_range(fd, 0, kMaxHeadLength);
  // As much of the end as the job's readers see.
  off_t end_at = std::max(st.st_size - off_t(kLogTailLength), off_t(0));
  std::optional<std::string> end = read_range(fd, end_at, kLogTailLength);
  std::optional<std::string> saving = first_saving_line(fd);
  std::optional<std::string> length = last_length_line(fd);
  if (!start || !end || !saving || !length) return std::nullopt;
  std::string_view region = *end;
  region.remove_prefix(region.size() - std::min(region.size(), kTailRegion));
  // Without the size the job's progress reads as bytes of an unknown whole.
  // A restart continues the file the saved name names; without it the job
  // could only start over. aria2c's bytes done and how its run ended lie
  // before its last lines once it has ended.
  std::vector<std::string> lines = {*length, saving->empty() ? latest_file_line(*end) : *saving};
  if (log == LogOf::aria2c) std::ranges::move(aria2_kept_lines(*end), std::back_inserter(lines));
  return Snapshot{st.st_size, kept_text(kept_head(*start), lines, latest_status(region))};
}

/// The lines of `region` after a line feed, line feed included: the first
/// may be the end of a longer one, and one without its line feed may still
/// be being written.
std::vector<std::string_view> whole_lines(std::string_view region) {
  std::vector<std::string_view> lines;
  for (size_t at = region.find('\n'), end;
       at != std::string_view::npos && (end = region.find('\n', at + 1)) != std::string_view::npos;
       at = end)
    lines.push_back(region.substr(at + 1, end - at));
  return lines;
}

bool pwrite_all(int fd, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = pwrite(fd, data.data() + done, data.size() - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

/// A log of our own that is long: a regular file with no other name, since
/// a hard link planted in the job directory would have us cut a file
/// elsewhere.
bool trimmable(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_size > off_t(kTrimThreshold);
}

void trim_file(const std::string& path, const std::string& name) {
  constexpr int kOpenFlags = O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  UniqueFd reader(open(path.c_str(), O_RDONLY | kOpenFlags));
  if (!reader.valid()) {
    syslog(kTrimLogPriority, "fopen error in trk while reading %s\n", name.c_str());
    return;
  }
  struct stat before;
  if (fstat(reader.get(), &before) != 0 || !trimmable(before)) return;
  LogOf log = log_of(path);
  std::optional<Snapshot> snapshot = take_snapshot(reader.get(), before, log);
  if (!reader.close())
    syslog(kTrimLogPriority, "fclose error in trk while reading %s\n", name.c_str());
  if (!snapshot) return;

  // Not truncated on open: a reader of the log must never find it empty.
  UniqueFd writer(open(path.c_str(), O_RDWR | kOpenFlags));
  if (!writer.valid()) {
    syslog(kTrimLogPriority, "fopen error in trk while writing %s\n", name.c_str());
    return;
  }
  for (int attempt = 1;; ++attempt) {
    struct stat now;
    if (fstat(writer.get(), &now) != 0 || now.st_ino != before.st_ino ||
        now.st_dev != before.st_dev || !trimmable(now))
      return;  // replaced or restarted meanwhile: leave it to the next pass
    if (now.st_size == snapshot->size) break;
    // Lines were appended since the read: the newest status is among them.
    if (attempt == kTrimAttempts) return;
    snapshot = take_snapshot(writer.get(), now, log);
    if (!snapshot) return;
  }
  if (off_t(snapshot->kept.size()) >= snapshot->size) return;  // never lengthen a log

  // The new text goes over the front first and the file is cut after it, so a
  // reader sees either the old log, or the new first line with the old end
  // (which still ends in the latest status), or the trimmed log. Transfer
  // programs append (O_APPEND), so their next writes land after the cut.
  bool written = pwrite_all(writer.get(), snapshot->kept) &&
                 ftruncate(writer.get(), off_t(snapshot->kept.size())) == 0;
  if (!writer.close() || !written)
    syslog(kTrimLogPriority, "fclose error in trk while writing %s\n", name.c_str());
}

}  // namespace

std::string latest_file_line(std::string_view region) {
  std::vector<std::string_view> lines = whole_lines(region);
  auto line = std::find_if(lines.rbegin(), lines.rend(),
                           [](std::string_view line) { return line.starts_with("FILE: "); });
  return line == lines.rend() ? "" : std::string(*line);
}

std::vector<std::string> aria2_kept_lines(std::string_view region) {
  std::vector<std::string_view> lines = whole_lines(region);
  std::vector<Aria2Line> kinds;
  for (std::string_view line : lines) kinds.push_back(aria2_line(line.substr(0, line.size() - 1)));
  auto latest = [&](Aria2Line kind) {
    return std::find(kinds.rbegin(), kinds.rend(), kind).base() - kinds.begin() - 1;
  };
  ptrdiff_t sized = latest(Aria2Line::sized_readout), error = latest(Aria2Line::error);
  ptrdiff_t readout = std::max(sized, latest(Aria2Line::readout));
  std::vector<std::string> kept;
  for (size_t i = 0; i < lines.size(); ++i)
    if (kinds[i] == Aria2Line::ending || ptrdiff_t(i) == sized || ptrdiff_t(i) == readout ||
        ptrdiff_t(i) == error)
      kept.emplace_back(lines[i]);
  return kept;
}

std::string kept_head(std::string_view start) {
  start = start.substr(0, kMaxHeadLength);
  size_t end = start.find('\n');
  if (end != std::string_view::npos) return std::string(start.substr(0, end + 1));
  return std::string(start.substr(0, kMaxHeadLength - 1)) + "\n";
}

std::string latest_status(std::string_view region) {
  std::vector<std::string_view> lines;
  for (size_t at = 0; at < region.size();) {
    size_t end = region.find('\n', at);
    end = end == std::string_view::npos ? region.size() : end + 1;
    lines.push_back(region.substr(at, end - at));
    at = end;
  }
  if (lines.empty()) return "";
  std::string_view last_line = lines.back();

  std::string_view candidate;
  for (std::string_view line : lines)
    if (line.size() >= kMinStatusLength) candidate = line;
  if (candidate.empty()) return std::string(last_line);

  std::string_view status;
  for (size_t at = 0; at <= candidate.size();) {
    size_t end = std::min(candidate.find('\r', at), candidate.size());
    std::string_view piece = candidate.substr(at, end - at);
    if (piece.size() >= kMinStatusLength) status = piece;
    at = end + 1;
  }
  return std::string(status.empty() ? last_line : status);
}

void trim_job_logs() {
  const std::string& trkdir = config().trkdir;
  mkdir(trkdir.c_str(), kJobDirectoryMode);  // normally there already
  std::optional<std::vector<std::string>> names =
      scan_directory(trkdir, ScanOrder::directory);
  if (!names) {
    syslog(kTrimLogPriority, "Scandir error for trk directory: %s", trkdir.c_str());
    return;
  }
  for (auto name = names->rbegin(); name != names->rend(); ++name) {
    // The only files of the job directory that are ever trimmed.
    if (!is_job_log(*name)) continue;
    std::string path = trkdir + *name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !trimmable(st)) continue;
    trim_file(path, *name);
  }
}

}  // namespace kiv
