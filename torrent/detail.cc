#include "torrent/detail.h"

#include <algorithm>
#include <string>

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

}  // namespace

void answer_job_detail(std::string_view job) {
  // Only a ctorrent job's log.
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
    long long left = -1;
    if (state.phase == JobPhase::running && state.down > 0 && state.size >= 0)
      left = (state.size - state.done + state.down - 1) / state.down;

    out_reset();
    out_headers(HeaderEnd::closed);
    std::string answer = "{job:" + quoted(job) + ",torrent:" + quoted(torrent.substr(c.dnldir.size())) +
                         ",name:" + quoted(state.name) + ",state:" + quoted(phase_name(state.phase)) +
                         ",done:" + std::to_string(state.done) + ",size:" + std::to_string(size) +
                         ",down:" + std::to_string(state.down) + ",up:" + std::to_string(state.up) +
                         ",peers:" + std::to_string(state.peers.value_or(0)) +
                         ",seeds:" + std::to_string(state.seeds.value_or(0)) +
                         ",left:" + std::to_string(left) + ",ratio:" +
                         quoted(status ? ratio_text(status->uploaded, std::max(status->downloaded, state.done)) : "");
    if (state.phase == JobPhase::failed) answer += ",reason:" + quoted(state.reason);
    out_append(answer + ",trackers:[");
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
