#include "common/ctorrent_state.h"

#include <charconv>

namespace kiv {
namespace {

// Figures no torrent reaches are no figures: sums and products of those
// that are stay far inside a long long.
constexpr long long kMostBytes = 1LL << 40;  // a file, or a speed in KiB/s
constexpr long long kMostMiB = 1LL << 30;    // a run's whole MiB
constexpr long long kMostPieceLength = 1LL << 30;
constexpr long long kMostPieces = 1LL << 31;

/// Reads a decimal number at the start of `text` and steps past it and
/// then past `separator`; false when either is not there.
template <typename Number>
bool take(std::string_view& text, Number& number, std::string_view separator) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || number < 0) return false;
  text.remove_prefix(size_t(end - text.data()));
  if (!text.starts_with(separator)) return false;
  text.remove_prefix(separator.size());
  return true;
}

/// The name and size of a "<1> name [bytes]" line of the file list ("<1>
/// name [bytes] 12/23 (52%)" once checked).
std::optional<std::pair<std::string_view, long long>> file_line(std::string_view line) {
  if (!line.starts_with('<')) return std::nullopt;
  size_t close = line.find("> ");
  if (close == std::string_view::npos || close < 2 ||
      line.substr(1, close - 1).find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  std::string_view rest = line.substr(close + 2);
  size_t end = rest.ends_with(']') ? rest.size() - 1 : rest.rfind("] ");
  size_t open = end == std::string_view::npos ? end : rest.rfind(" [", end);
  if (open == std::string_view::npos) return std::nullopt;
  long long bytes = 0;
  std::string_view figure = rest.substr(open + 2, end - open - 2);
  if (!take(figure, bytes, "") || !figure.empty() || bytes > kMostBytes) return std::nullopt;
  std::string_view name = rest.substr(0, open);
  name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
  return std::pair{name, bytes};
}

/// What the head of the log tells: the torrent's layout.
struct Layout {
  std::string name;
  long long piece_length = 0;
  long long files_size = 0;
  bool whole_list = false;  // the list ended with its "Total:" line
};

Layout read_layout(std::string_view head) {
  Layout layout;
  bool in_list = false;
  for_each_piece(head, [&](std::string_view line) {
    if (layout.whole_list) return;
    if (line.starts_with("Piece length: ")) {
      std::string_view figure = line.substr(14);
      if (!take(figure, layout.piece_length, "") || layout.piece_length > kMostPieceLength)
        layout.piece_length = 0;
    } else if (line == "FILES INFO") {
      in_list = true;
    } else if (in_list && line.starts_with("Directory: ")) {
      layout.name = line.substr(11);
    } else if (in_list && line.starts_with("Total: ")) {
      layout.whole_list = true;
    } else if (auto file = in_list ? file_line(line) : std::nullopt) {
      if (layout.name.empty()) layout.name = file->first;
      layout.files_size += file->second;
    }
  });
  return layout;
}

/// The value of option `option` ("-e 2" or "-e2") in the blank-separated
/// `options`, the last one given.
std::optional<std::string_view> option_value(std::string_view options, std::string_view option) {
  std::optional<std::string_view> found;
  bool after_option = false;
  while (!options.empty()) {
    size_t end = std::min(options.find(' '), options.size());
    std::string_view word = options.substr(0, end);
    options.remove_prefix(std::min(end + 1, options.size()));
    if (after_option)
      found = word;
    else if (word.starts_with(option) && word != option)
      found = word.substr(option.size());
    after_option = word == option;
  }
  return found;
}

bool is_error(std::string_view line) {
  return line.starts_with("error") || line.starts_with("Error");
}

}  // namespace

/// The status line `line` as read, nothing when it is none.
static std::optional<CtorrentStatus> ctorrent_status(std::string_view line) {
  CtorrentStatus status;
  long long down_mb, up_mb, down_k, up_k;
  if (line.size() < 2 || line[1] != ' ' || std::string_view("-\\|/").find(line[0]) == std::string_view::npos)
    return std::nullopt;
  line.remove_prefix(2);
  if (!take(line, status.seeds, "/") || !take(line, status.leechers, "/") ||
      !take(line, status.connecting, " [") || !take(line, status.have, "/") ||
      !take(line, status.pieces, "/") || !take(line, status.available, "] ") ||
      !take(line, down_mb, "MB,") || !take(line, up_mb, "MB | ") || !take(line, down_k, ",") ||
      !take(line, up_k, "K/s"))
    return std::nullopt;
  if (down_mb > kMostMiB || up_mb > kMostMiB || down_k > kMostBytes || up_k > kMostBytes ||
      status.have > kMostPieces || status.pieces > kMostPieces || status.available > kMostPieces)
    return std::nullopt;
  status.downloaded = down_mb << 20;
  status.uploaded = up_mb << 20;
  status.down = down_k * 1024;
  status.up = up_k * 1024;
  return status;
}

std::optional<CtorrentStatus> last_ctorrent_status(std::string_view tail) {
  std::optional<CtorrentStatus> last;
  for_each_piece(tail, [&](std::string_view line) {
    if (std::optional<CtorrentStatus> status = ctorrent_status(line)) last = status;
  });
  return last;
}

bool ctorrent_seeding_over(const JobView& job, long long seconds_run) {
  constexpr std::string_view kSeedFor = "Seed for others ";
  bool quitting = false;
  std::optional<long long> hours;
  auto read = [&](std::string_view line) {
    if (ctorrent_status(line) && line.ends_with(" Quitting")) quitting = true;
    long long number = 0;
    if (line.starts_with(kSeedFor) && take(line = line.substr(kSeedFor.size()), number, " hours"))
      hours = number;
  };
  for_each_piece(job.head, read);
  for_each_piece(job.tail, read);
  if (!quitting) return false;
  if (option_value(job.record.options, "-E")) return true;
  if (!hours) {
    std::string_view figure = option_value(job.record.options, "-e").value_or("");
    long long number = 0;
    hours = take(figure, number, "") && figure.empty() ? number : kCtorrentSeedHours;
  }
  return seconds_run >= *hours * 3600;
}

JobState ctorrent_state(const JobView& job) {
  JobState state;
  Layout layout = read_layout(job.head);
  state.name = layout.name;
  if (state.name.empty()) {
    // Until ctorrent has read the torrent: the torrent file's name.
    std::string_view source = job.record.source;
    state.name = source.substr(source.rfind('/') + 1);
  }
  std::optional<CtorrentStatus> last;
  bool complete = false;
  for_each_piece(job.tail, [&](std::string_view line) {
    if (std::optional<CtorrentStatus> status = ctorrent_status(line)) {
      last = status;
      state.reason.clear();
    } else if (line == "Download complete.") {
      complete = true;
    } else if (is_error(line)) {
      state.reason = line;
    }
  });
  if (layout.whole_list)
    state.size = layout.files_size;
  else if (last && layout.piece_length)
    state.size = last->pieces * layout.piece_length;
  if (last) {
    complete = complete || (last->pieces > 0 && last->have == last->pieces);
    state.done = last->have * layout.piece_length;
    state.seeds = last->seeds;
    state.peers = last->leechers;
  } else {
    state.seeds = state.peers = 0;
  }
  // Complete also without a status line read (one of the other format).
  if (state.size >= 0 && (complete || state.done > state.size)) state.done = state.size;
  if (job.running) {
    state.phase = complete ? JobPhase::seeding : JobPhase::running;
    state.reason.clear();
    if (last) {
      state.down = last->down;
      state.up = last->up;
    }
  } else {
    state.phase = complete ? JobPhase::finished
                  : !state.reason.empty() ? JobPhase::failed
                                          : JobPhase::stopped;
    // Every piece in: an error line after that failed nothing.
    if (complete) state.reason.clear();
    state.seeds = state.peers = 0;
  }
  return state;
}

}  // namespace kiv
