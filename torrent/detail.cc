#include "torrent/detail.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "common/aria2_state.h"
#include "common/config.h"
#include "common/ctorrent_state.h"
#include "common/file.h"
#include "common/file_choice.h"
#include "common/info_hash.h"
#include "common/inside.h"
#include "common/job_record.h"
#include "common/job_state.h"
#include "common/process.h"
#include "common/quote.h"
#include "common/response.h"
#include "torrent/aria2_control.h"
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

/// The trackers and files of a job's torrent, closing its detail: each
/// file's bytes from `progress` (whole when `whole`, -1 when unknown).
void append_files(const TorrentLayout& layout, const std::optional<std::vector<long long>>& progress,
                  bool whole, std::string_view choice) {
  out_append(",trackers:[");
  for (size_t i = 0; i < layout.trackers.size(); ++i)
    out_append((i ? "," : "") + quoted(layout.trackers[i]));
  out_append("],files:[");
  for (size_t i = 0; i < layout.files.size(); ++i) {
    const TorrentFile& file = layout.files[i];
    long long done = whole ? file.size : progress ? (*progress)[i] : -1;
    out_append(std::string(i ? "," : "") + "{path:" + quoted(file.path) +
               ",size:" + std::to_string(file.size) + ",done:" + std::to_string(done) +
               ",chosen:" + (file_chosen(choice, i + 1) ? "true" : "false") + "}");
    out_spill();
  }
  out_append("]}");
}

long long total_size(const TorrentLayout& layout) {
  long long size = 0;
  for (const TorrentFile& file : layout.files) size += file.size;
  return size;
}

bool is_whole(const JobState& state) {
  return state.phase == JobPhase::seeding || state.phase == JobPhase::finished;
}

/// A magnet job's detail: what aria2c's log says, and once the job has its
/// own torrent (RECORD.torrent, which kiv-ctl takes from aria2c's fetch)
/// its trackers and files, each file's bytes from aria2c's control file.
/// aria2c writes that file when it stops and every minute while it runs.
[[noreturn]] void answer_magnet_detail(std::string_view job, const JobRecord& record,
                                       const std::string& record_path) {
  const Config& c = config();
  LogEnds log = read_log_ends(record_path + ".tor");
  JobState state = aria2_state({record, !transfer_pid(job).empty(), log.head, log.tail});
  std::string torrent = record_path + ".torrent";
  if (!exists(torrent)) {
    out_reset();
    out_headers(HeaderEnd::closed);
    out_append(summary(job, "", state, state.size, "") + ",trackers:[],files:[]}");
    out_flush();
    std::exit(0);
  }
  answer_torrent(torrent, torrent, [&](const std::string& data) {
    TorrentLayout layout = read_layout(data);
    long long size = total_size(layout);
    std::string folder = record.folder.value_or("");
    if (!folder.empty() && !folder.ends_with('/')) folder += '/';
    std::string control = folder + layout.name + ".aria2";
    std::optional<Aria2Control> bits;
    if (!layout.name.empty() && judge_torrent_path(c.dnldir, control) == Verdict::inside)
      bits = read_aria2_control_file(c.dnldir + control);
    // Only the control file of this very torrent counts.
    if (bits && (bits->info_hash != torrent_info_hash(data) ||
                 bits->piece_length != layout.piece_length || bits->total_length != size))
      bits.reset();
    std::optional<std::vector<long long>> progress;
    if (bits) progress = file_progress(layout, bits->bits);
    std::string ratio;
    if (std::optional<long long> seeded = aria2_seed_ratio(log.tail); is_whole(state) && seeded)
      ratio = ratio_text(*seeded, 100);
    else if (bits)
      ratio = ratio_text(bits->uploaded, state.done);
    out_reset();
    out_headers(HeaderEnd::closed);
    out_append(summary(job, "", state, size, ratio));
    append_files(layout, progress, is_whole(state), file_choice(record.options, TorrentEngine::aria2c));
  });
}

}  // namespace

void answer_job_detail(std::string_view job) {
  // Only a torrent job's log.
  if (!is_job_name(job) || job.size() <= 4 || !job.ends_with(".tor"))
    message_answer("Invalid job name:", job);
  const Config& c = config();
  std::string log_path = c.trkdir + std::string(job);
  std::string record_path = record_of_log(log_path);
  std::optional<std::string> text = read_file(record_path);
  if (!text) message_answer("Job not found:", job);
  std::optional<JobRecord> record = read_record(*text);
  if (!record) message_answer("Unable to read trk file:", record_path);
  // A record names the torrent by its full path, which must still lie in
  // the download directory.
  const std::string& torrent = record->source;
  if (engine_of(torrent) == TorrentEngine::aria2c) answer_magnet_detail(job, *record, record_path);
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
    out_reset();
    out_headers(HeaderEnd::closed);
    out_append(summary(job, torrent.substr(c.dnldir.size()), state, total_size(layout),
                       status ? ratio_text(status->uploaded, std::max(status->downloaded, state.done)) : ""));
    append_files(layout, progress, is_whole(state), file_choice(record->options, TorrentEngine::ctorrent));
  });
}

}  // namespace kiv::torrent
