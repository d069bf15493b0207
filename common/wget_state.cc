#include "common/wget_state.h"

#include <charconv>
#include <vector>

#include "common/request.h"
#include "common/wget_log.h"

namespace kiv {
namespace {

/// The file name a URL names; "" when its path ends in "/".
std::string url_file_name(std::string_view url) {
  url = url.substr(0, std::min(url.find_first_of("?#"), url.size()));
  size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) {
    url.remove_prefix(scheme + 3);
    size_t path = url.find('/');
    url.remove_prefix(path == std::string_view::npos ? url.size() : path);
  }
  std::string name(url.substr(url.rfind('/') + 1));
  std::string decoded = name;
  return url_decode(decoded) ? decoded : name;
}

std::optional<long long> whole_number(std::string_view text) {
  long long number = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || number < 0)
    return std::nullopt;
  return number;
}

/// The words of `text`, split at blanks.
std::vector<std::string_view> words_of(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    size_t end = std::min(text.find(' '), text.size());
    words.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return words;
}

/// A line that says a run failed, as wget words it.
bool is_failure(std::string_view line) {
  for (std::string_view mark : {"ERROR", "failed:", "unable to", "Unable to", "not resolve",
                                "No such file", "Cannot write to", "Giving up"})
    if (line.find(mark) != std::string_view::npos) return true;
  return false;
}

/// `line` without the time stamp wget puts before an error.
std::string_view without_date(std::string_view line) {
  // "2026-12-09 16:09:04 ERROR 404: File not found."
  if (line.size() > 20 && line[4] == '-' && line[7] == '-' && line[10] == ' ' && line[13] == ':' &&
      line[16] == ':' && line[19] == ' ')
    line.remove_prefix(20);
  return line;
}

struct Reading {
  JobState state;
  bool saved = false;
};

void read_piece(std::string_view piece, Reading& reading) {
  JobState& state = reading.state;
  if (piece.starts_with("Length: ")) {
    std::string_view words = piece.substr(8);
    state.size = whole_number(words.substr(0, words.find(' '))).value_or(-1);
    return;
  }
  // "big.bin  36%[======>   ]   1.04M   300KB/s    eta 7s", or without a
  // known length "big.bin  [ <=>   ]   1.04M   300KB/s".
  size_t bar = piece.find("%[");
  if (bar == std::string_view::npos && piece.find("[ ") != std::string_view::npos &&
      piece.find("<=>") != std::string_view::npos)
    bar = piece.find("<=>");
  size_t close = bar == std::string_view::npos ? bar : piece.find(']', bar);
  if (close != std::string_view::npos) {
    std::vector<std::string_view> words = words_of(piece.substr(close + 1));
    if (words.size() >= 2 && words[1].ends_with("B/s")) {
      reading.saved = false;
      state.reason.clear();  // it went on after a retry
      if (std::optional<long long> done = unit_bytes(words[0])) state.done = *done;
      std::string_view rate = words[1].substr(0, words[1].size() - 3);
      state.down = unit_bytes(rate).value_or(0);
      return;
    }
  }
  // "2026-12-09 16:09:04 (734 KB/s) - 'name' saved [20000/20000]"
  size_t saved = piece.rfind(" saved [");
  if (saved != std::string_view::npos && piece.ends_with(']')) {
    std::string_view figures = piece.substr(saved + 8, piece.size() - saved - 9);
    size_t slash = figures.find('/');
    if (std::optional<long long> done = whole_number(figures.substr(0, slash))) {
      reading.saved = true;
      state.reason.clear();
      state.done = *done;
      if (slash != std::string_view::npos)
        if (std::optional<long long> size = whole_number(figures.substr(slash + 1))) state.size = *size;
      return;
    }
  }
  if (piece.find("fully retrieved") != std::string_view::npos) {
    reading.saved = true;  // -c on a whole file: nothing left to fetch
    state.reason.clear();
    if (state.size >= 0) state.done = state.size;
    return;
  }
  // "--2026-12-09 16:08:28--  http://...": the next try of the URL.
  if (piece.starts_with("--") && piece.find("--  ") != std::string_view::npos) {
    reading.saved = false;
    state.reason.clear();
    return;
  }
  if (is_failure(piece)) {
    reading.saved = false;
    state.reason = std::string(without_date(piece));
  }
}

}  // namespace

JobState wget_state(const JobView& job) {
  Reading reading;
  JobState& state = reading.state;
  state.name = url_file_name(job.record.source);
  if (state.name.empty()) {
    // The first line of the log that names the saved file.
    size_t at = job.head.find("\nSaving to: ");
    size_t end = at == std::string_view::npos ? at : job.head.find('\n', at + 1);
    if (end != std::string_view::npos)
      state.name = saved_name(job.head.substr(at + 1, end - at)).value_or("");
  }
  if (state.name.empty()) state.name = job.record.source;
  // Where the tail does not reach back to the start, the head still names
  // the size.
  if (job.tail.size() == kLogTailLength) for_each_piece(job.head, [&](std::string_view piece) {
      if (piece.starts_with("Length: ")) read_piece(piece, reading);
    });
  for_each_piece(job.tail, [&](std::string_view piece) { read_piece(piece, reading); });
  if (state.size >= 0 && state.done > state.size) state.done = state.size;
  if (job.running) {
    state.phase = JobPhase::running;
    state.reason.clear();
  } else {
    state.down = 0;
    state.phase = reading.saved            ? JobPhase::finished
                  : !state.reason.empty() ? JobPhase::failed
                                          : JobPhase::stopped;
  }
  return state;
}

}  // namespace kiv
