#include "torrent/detail.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "common/aria2_state.h"
#include "common/config.h"
#include "common/ctorrent_state.h"
#include "common/file.h"
#include "common/file_choice.h"
#include "common/inside.h"
#include "common/job_record.h"
#include "common/job_state.h"
#include "common/process.h"
#include "common/quote.h"
#include "common/response.h"
#include "torrent/bencode.h"
#include "torrent/inspect.h"
#include "torrent/layout.h"

namespace kiv::torrent {
namespace {

std::string quoted(std::string_view text) { return "\"" + escape_script(text, '"') + "\""; }

/// `numerator` / `denominator` with two decimals, "" when the denominator is 0.
std::string ratio_text(long long numerator, long long denominator) {
  if (denominator <= 0) return "";
  long long hundredths = numerator * 100 / denominator;
  std::string cents = std::to_string(hundredths % 100);
  return std::to_string(hundredths / 100) + "." + (cents.size() < 2 ? "0" : "") + cents;
}

/// The members every torrent job's detail begins with, up to its ratio.
std::string summary(std::string_view job, std::string_view torrent, const JobState& state,
                    long long size, std::string_view ratio) {
  long long left = -1;
  if (state.phase == JobPhase::running && state.down > 0 && state.size >= 0)
    left = (state.size - state.done + state.down - 1) / state.down;
  std::string answer = "{job:" + quoted(job) + ",torrent:" + quoted(torrent) +
                       ",name:" + quoted(state.name) + ",state:" + quoted(phase_name(state.phase)) +
                       ",done:" + std::to_string(state.done) + ",size:" + std::to_string(size) +
                       ",down:" + std::to_string(state.down) + ",up:" + std::to_string(state.up) +
                       ",peers:" + std::to_string(state.peers.value_or(0)) +
                       ",seeds:" + std::to_string(state.seeds.value_or(0)) +
                       ",left:" + std::to_string(left) + ",ratio:" + quoted(ratio);
  if (state.phase == JobPhase::failed) answer += ",reason:" + quoted(state.reason);
  return answer;
}

/// A magnet job's detail: what aria2c's log says. It keeps no torrent
/// file, so its files and trackers are not known here.
[[noreturn]] void answer_magnet_detail(std::string_view job, const JobRecord& record,
                                       const std::string& log_path) {
  LogEnds log = read_log_ends(log_path);
  JobState state = aria2_state({record, !transfer_pid(job).empty(), log.head, log.tail});
  out_reset();
  out_headers(HeaderEnd::closed);
  out_append(summary(job, "", state, state.size, "") + ",trackers:[],files:[]}");
  out_flush();
  std::exit(0);
}

}  // namespace

void answer_job_detail(std::string_view job) {
  // Only a torrent job's log.
  if (!is_job_name(job) || job.size() <= 4 || !job.ends_with(".tor"))
    message_answer("Invalid job name:", job);
  const Config& c = config();
  std::string log_path = c.trkdir + std::string(job);
  std::string record_path = log_path.substr(0, log_path.size() - 4);
  std::optional<std::string> text = read_file(record_path);
  if (!text) message_answer("Job not found:", job);
  std::optional<JobRecord> record = read_record(*text);
  if (!record) message_answer("Unable to read trk file:", record_path);
  // A record names the torrent by its full path, which must still lie in
  // the download directory.
  const std::string& torrent = record->source;
  if (engine_of(torrent) == TorrentEngine::aria2c) answer_magnet_detail(job, *record, log_path);
  if (!torrent.starts_with(c.dnldir) || torrent.find("/..") != std::string::npos ||
      !resolves_inside(c.dnldir, "/" + torrent.substr(c.dnldir.size()), Reach::through))
    message_answer("Filename error (contains /..)", torrent);
  answer_torrent(torrent, torrent.substr(c.dnldir.size()), [&](const std::string& data) {
    TorrentLayout layout = read_layout(data);

    bool running = !transfer_pid(job).empty();
    LogEnds log = read_log_ends(log_path);
    JobState state = ctorrent_state({*record, running, log.head, log.tail});
    if (!layout.name.empty()) state.name = layout.name;
    std::optional<CtorrentStatus> status = last_ctorrent_status(log.tail);
    // ctorrent keeps its bit-field file only while it does not run.
    std::optional<std::string> bits;
    if (!running) bits = read_file(record_path + ".bf");
    std::optional<std::vector<long long>> progress;
    if (bits) progress = file_progress(layout, *bits);
    bool whole = state.phase == JobPhase::seeding || state.phase == JobPhase::finished;
    long long size = 0;
    for (const TorrentFile& file : layout.files) size += file.size;
    out_reset();
    out_headers(HeaderEnd::closed);
    out_append(summary(job, torrent.substr(c.dnldir.size()), state, size,
                       status ? ratio_text(status->uploaded, std::max(status->downloaded, state.done)) : "") +
               ",trackers:[");
    for (size_t i = 0; i < layout.trackers.size(); ++i)
      out_append((i ? "," : "") + quoted(layout.trackers[i]));
    out_append("],files:[");
    std::string choice = file_choice(record->options, TorrentEngine::ctorrent);
    for (size_t i = 0; i < layout.files.size(); ++i) {
      const TorrentFile& file = layout.files[i];
      long long done = whole ? file.size : progress ? (*progress)[i] : -1;
      out_append(std::string(i ? "," : "") + "{path:" + quoted(file.path) +
                 ",size:" + std::to_string(file.size) + ",done:" + std::to_string(done) +
                 ",chosen:" + (file_chosen(choice, i + 1) ? "true" : "false") + "}");
      out_spill();
    }
    out_append("]}");
  });
}

}  // namespace kiv::torrent
