#include "common/aria2_state.h"

#include <algorithm>
#include <charconv>
#include <climits>

#include "common/ctorrent_state.h"
#include "common/file_choice.h"

namespace kiv {
namespace {

constexpr std::string_view kMetadataDone = "[MEMORY][METADATA]";  // the torrent, not a file
constexpr std::string_view kSeedingOver = "[NOTICE] Seeding is over.";

/// Where the torrent's name begins in aria2c's line saying it has the
/// torrent, or npos for any other line.
size_t metadata_done(std::string_view line) {
  size_t at = line.find(kMetadataDone);
  return line.find("Download complete: ") == line.npos ? line.npos : at;
}

/// A row of aria2c's results table: its status ("OK  ", "ERR ", ...) and
/// what it fetched.
struct ResultRow {
  std::string_view status, path;
};
std::optional<ResultRow> result_row(std::string_view line) {
  if (line.size() <= 12 || line[6] != '|' || line[11] != '|') return std::nullopt;
  std::string_view rest = line.substr(12);
  return ResultRow{line.substr(7, 4), rest.substr(std::min(rest.find('|') + 1, rest.size()))};
}

/// "10176B" or "10176" as bytes.
std::optional<long long> bytes_of(std::string_view figure) {
  if (figure.ends_with('B')) figure.remove_suffix(1);
  long long value = 0;
  auto [end, error] = std::from_chars(figure.data(), figure.data() + figure.size(), value);
  if (error != std::errc() || end != figure.data() + figure.size() || value < 0)
    return std::nullopt;
  return value;
}

/// A count of peers: figures past what an int holds stay at its most.
int count_of(std::string_view figure) {
  return int(std::min<long long>(bytes_of(figure).value_or(0), INT_MAX));
}

struct Readout {
  bool seeding = false;
  std::optional<long long> ratio;  // hundredths, while seeding
  std::optional<long long> done, size;
  int connections = 0, seeds = 0;
  long long down = 0, up = 0;
};

std::optional<Readout> readout(std::string_view line) {
  if (!line.starts_with("[#") || !line.ends_with(']')) return std::nullopt;
  line = line.substr(1, line.size() - 2);
  Readout r;
  bool first = true;
  while (!line.empty()) {
    size_t blank = std::min(line.find(' '), line.size());
    std::string_view word = line.substr(0, blank);
    line.remove_prefix(std::min(blank + 1, line.size()));
    if (first) {
      first = false;
      continue;  // the download's id
    }
    size_t colon = word.find(':');
    std::string_view key = word.substr(0, colon), value = word.substr(colon + 1);
    if (word.starts_with("SEED(")) {
      r.seeding = true;
      // aria2c writes one decimal: "SEED(1.5)".
      std::string_view figure = word.substr(5);
      size_t dot = figure.find('.');
      if (figure.size() == dot + 3 && figure.ends_with(')') && figure[dot + 1] >= '0' &&
          figure[dot + 1] <= '9')
        if (std::optional<long long> whole = bytes_of(figure.substr(0, dot));
            whole && *whole < LLONG_MAX / 100)
          r.ratio = *whole * 100 + (figure[dot + 1] - '0') * 10;
    } else if (size_t slash = word.find('/'); colon == word.npos && slash != word.npos) {
      r.done = bytes_of(word.substr(0, slash));
      r.size = bytes_of(word.substr(slash + 1, word.find('(') - slash - 1));
    } else if (key == "CN") {
      r.connections = count_of(value);
    } else if (key == "SD") {
      r.seeds = count_of(value);
    } else if (key == "DL") {
      r.down = bytes_of(value).value_or(0);
    } else if (key == "UL") {
      r.up = bytes_of(value).value_or(0);
    }
  }
  return r;
}

/// Whether a readout gives the bytes of a known size: the one a job's bytes
/// are read from (the seeding ones give none).
bool gives_size(const Readout& r) { return r.size.value_or(0) > 0; }

/// The text after "errorCode=N " or "[ERROR] ", or nothing.
std::string_view error_text(std::string_view line) {
  if (size_t code = line.find("errorCode="); code != line.npos) {
    std::string_view rest = line.substr(code);
    return rest.substr(std::min(rest.find(' ') + 1, rest.size()));
  }
  if (size_t error = line.find("[ERROR] "); error != line.npos) return line.substr(error + 8);
  return {};
}

}  // namespace

Aria2Line aria2_line(std::string_view line) {
  // In the order aria2_state tells them apart.
  if (metadata_done(line) != line.npos) return Aria2Line::ending;
  if (std::optional<Readout> r = readout(line))
    return gives_size(*r) ? Aria2Line::sized_readout : Aria2Line::readout;
  if (line.starts_with(kRefusedLine) || line.ends_with(kSeedingOver)) return Aria2Line::ending;
  if (!error_text(line).empty()) return Aria2Line::error;
  return result_row(line) ? Aria2Line::ending : Aria2Line::other;
}

std::optional<long long> aria2_seed_ratio(std::string_view tail) {
  std::optional<long long> ratio;
  for_each_piece(tail, [&](std::string_view line) {
    if (std::optional<Readout> r = readout(line)) ratio = r->ratio;
  });
  return ratio;
}

JobState aria2_state(const JobView& job) {
  JobState state;
  // The first line, "-- date --HASH", names the link until the torrent is
  // in; a run on the fetched torrent has "-- date --HASH NAME".
  std::string_view first = job.head.substr(0, job.head.find('\n'));
  state.name = first.substr(std::min(first.find(" --", 1) + 3, first.size()));
  size_t blank = state.name.find(' ');
  // A log longer than both ends is past its metadata whatever they show.
  bool metadata_in = job.head.size() >= kLogHeadLength || blank != std::string::npos;
  if (blank != std::string::npos) state.name.erase(0, blank + 1);
  std::optional<Readout> last, sized;  // the last readout, the last with a size
  std::string_view ended;  // the last row of the results table
  auto read = [&](std::string_view line) {
    if (size_t at = metadata_done(line); at != line.npos) {
      metadata_in = true;
      sized.reset();  // what came before counted the torrent file
      state.name = line.substr(at + kMetadataDone.size());
    } else if (std::optional<Readout> r = readout(line)) {
      last = r;
      if (gives_size(*r)) sized = r;
    } else if (line.starts_with(kRefusedLine)) {
      state.reason = line.substr(kRefusedLine.size());
      ended = "ERR ";
    } else if (std::string_view why = error_text(line); !why.empty()) {
      state.reason = why;
    } else if (std::optional<ResultRow> row = result_row(line)) {
      if (!row->path.starts_with("[MEMORY]")) ended = row->status;
    }
  };
  for_each_piece(job.head, read);
  ended = {};
  for_each_piece(job.tail, read);

  if (sized && metadata_in) {
    state.size = *sized->size;
    state.done = sized->done.value_or(0);
  }
  state.peers = last ? std::max(0, last->connections - last->seeds) : 0;
  state.seeds = last ? last->seeds : 0;
  bool seeding = last && last->seeding;
  if (job.running) {
    state.reason.clear();
    state.phase = !metadata_in ? JobPhase::metadata
                  : seeding    ? JobPhase::seeding
                               : JobPhase::running;
    if (last) {
      state.down = last->down;
      state.up = last->up;
    }
  } else if (ended == "OK  ") {
    state.phase = JobPhase::finished;
    state.reason.clear();
  } else if (ended == "ERR ") {
    state.phase = JobPhase::failed;
    if (state.reason.empty()) state.reason = "aria2c ended with an error";
  } else {
    state.phase = JobPhase::stopped;
    state.reason.clear();
  }
  // Without a readout that gave the size (one that ended between two) the
  // bytes stay as last read.
  bool whole = seeding || state.phase == JobPhase::finished;
  if (state.size >= 0 && (whole || state.done > state.size)) state.done = state.size;
  return state;
}

bool aria2_torrent_fetched(const JobView& job) {
  bool fetched = false;
  for_each_piece(job.tail, [&](std::string_view line) {
    if (std::optional<ResultRow> row = result_row(line))
      fetched = row->status == "OK  " && row->path.starts_with(kMetadataDone);
    else if (line.starts_with(kRefusedLine))
      fetched = false;
  });
  return fetched;
}

bool aria2_seeding_over(const JobView& job) {
  bool over = false;
  for_each_piece(job.tail, [&](std::string_view line) {
    over = over || line.ends_with(kSeedingOver);
  });
  return over;
}

bool torrent_seeding_over(const JobView& job, long long seconds_run) {
  return engine_of(job.record.source) == TorrentEngine::aria2c
             ? aria2_seeding_over(job)
             : ctorrent_seeding_over(job, seconds_run);
}

JobState torrent_job_state(const JobView& job) {
  return engine_of(job.record.source) == TorrentEngine::aria2c ? aria2_state(job)
                                                                 : ctorrent_state(job);
}

}  // namespace kiv
