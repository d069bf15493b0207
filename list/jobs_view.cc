#include "list/jobs_view.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "common/config.h"
#include "common/aria2_state.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/job_queue.h"
#include "common/job_record.h"
#include "common/job_state.h"
#include "common/process.h"
#include "common/quote.h"
#include "common/queue_settings.h"
#include "common/response.h"
#include "common/resumed.h"
#include "common/shell.h"
#include "common/wget_state.h"

namespace kiv::list {

namespace {

/// When the job was added, in milliseconds since the epoch (so jobs added
/// together keep their order): the birth of its log, which no start, restart
/// or trim replaces. Where the file system keeps no birth time, the record's
/// last write (its last start) stands in.
std::optional<long long> added_time(const std::string& trkdir, const std::string& name) {
  struct statx log;
  if (statx(AT_FDCWD, (trkdir + name).c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &log) == 0 &&
      (log.stx_mask & STATX_BTIME))
    return log.stx_btime.tv_sec * 1000LL + log.stx_btime.tv_nsec / 1000000;
  std::string record = record_of_log(name);
  struct stat st;
  if (record != name && lstat((trkdir + record).c_str(), &st) == 0)
    return st.st_mtim.tv_sec * 1000LL + st.st_mtim.tv_nsec / 1000000;
  return std::nullopt;
}

/// The state reader of each kind of job log.
struct StateKind {
  std::string_view suffix;
  StateReader read;
};
constexpr StateKind kStateKinds[] = {
    {".wgt", wget_state},
    {".tor", torrent_job_state},
};

/// Whether a job has a record beside its log.
enum class Records { kept, none };

/// Each queued job's place (1 = next to start), by its log's name; filled
/// once per answer by the first list with records.
const std::map<std::string, size_t>& queue_places() {
  static std::optional<std::map<std::string, size_t>> places;
  if (!places) {
    places.emplace();
    std::vector<QueueEntry> entries = queue_entries();
    size_t place = 0;
    for (const QueueEntry* entry : queue_order(entries)) places->emplace(entry->log, ++place);
  }
  return *places;
}

/// The state members of job log `name`: for a kind with a reader
/// `,name:"..",state:"..",done:N,size:N,down:N,up:N`, for torrents also
/// `,peers:N,seeds:N`, for a failed job `,reason:".."`. A record that is
/// there but cannot be read whole (empty, cut short, unreadable) makes the
/// job failed, never left out or taken as stopped. `pid` is the process
/// number of its running transfer, "" for none.
void print_state(const std::string& trkdir, const std::string& name, const std::string& pid,
                 Records records) {
  if (records == Records::none) return;
  bool running = !pid.empty();
  std::string record_name = record_of_log(name);
  if (record_name == name) return;
  std::optional<std::string> text = read_file(trkdir + record_name);
  bool unreadable = text ? !read_record(*text) : errno != ENOENT;
  const StateKind* kind = nullptr;
  for (const StateKind& each : kStateKinds)
    if (name.ends_with(each.suffix)) kind = &each;
  if (!kind) {
    if (unreadable) out_append(",state:\"failed\",reason:\"record unreadable\"");
    return;
  }
  JobRecord record = parse_record(text.value_or(""));
  LogEnds log = read_log_ends(trkdir + name);
  JobState state = kind->read({record, running, log.head, log.tail});
  // Waiting for a slot, or stopped by a paused hour: it continues later.
  std::optional<size_t> place;
  if (!running && record.wish == JobWish::queued) {
    state.phase = JobPhase::queued;
    auto found = queue_places().find(name);
    if (found != queue_places().end()) place = found->second;
  }
  if (unreadable) {
    state.phase = JobPhase::failed;
    state.reason = "record unreadable";
  }
  std::string members = ",name:\"" + escape_script(state.name, '"') + "\",state:\"";
  members += phase_name(state.phase);
  members += "\",done:" + std::to_string(state.done) + ",size:" + std::to_string(state.size) +
             ",down:" + std::to_string(state.down) + ",up:" + std::to_string(state.up);
  if (state.peers) members += ",peers:" + std::to_string(*state.peers);
  if (state.seeds) members += ",seeds:" + std::to_string(*state.seeds);
  if (state.phase == JobPhase::queued && place) members += ",place:" + std::to_string(*place);
  if (state.phase == JobPhase::failed)
    members += ",reason:\"" + escape_script(state.reason, '"') + "\"";
  out_append(members);
}

}  // namespace

/// Appends the list member for the job files whose names end in `pattern`
/// (".nfo", ".amu", ".tor", ".wgt"), each with the process number of its
/// running transfer and, when known, the time it was added; returns how
/// many run.
static int print_job_list(const std::string& pattern) {
  const std::string& trkdir = config().trkdir;
  out_append(std::string_view(pattern).substr(1));
  out_append(":[");
  auto names = scan_directory(trkdir, ScanOrder::directory);
  if (!names) message_answer("Can't scan tracker directory:\n", trkdir);
  // Ends in it: a magnet job's saved HASH.torrent beside its log is no job.
  std::erase_if(*names, [&](const std::string& name) { return !name.ends_with(pattern); });
  int running = 0;
  // Notices and the eDonkey list have no record.
  Records records = pattern != ".nfo" && pattern != ".amu" ? Records::kept : Records::none;
  for (auto name = names->rbegin(); name != names->rend(); ++name) {
    std::string pid = transfer_pid(*name);
    if (!pid.empty()) ++running;
    if (name != names->rbegin()) out_append(",");
    out_append("{obj:\"");
    out_append(escape_script(*name, '"'));
    out_append("@");
    out_append(pid);
    out_append("\"");
    if (std::optional<long long> added = added_time(trkdir, *name))
      out_append(",added:" + std::to_string(*added));
    print_state(trkdir, *name, pid, records);
    out_append("}");
  }
  out_append("]");
  return running;
}

void print_queue_member() {
  QueueSettings s = read_queue_settings();
  out_append("queue:{max_active:" + std::to_string(s.max_active) +
             ",max_torrents:" + std::to_string(s.max_torrents) +
             ",seeding_counts:" + std::to_string(s.seeding_counts) +
             ",down:" + std::to_string(s.down) + ",up:" + std::to_string(s.up) +
             ",alt_down:" + std::to_string(s.alt_down) + ",alt_up:" + std::to_string(s.alt_up) +
             ",week:\"" + s.week + "\",hour:\"" + char(hour_mode(s, time(nullptr))) + "\"},");
}

void print_job_members() {
  const char* amule = getenv("FORM_amule");
  if (amule && std::string_view(amule) == "true" && chdir(config().trkdir.c_str()) == 0)
    run_shell("amulecmd -c \"show dl\" > amule.amu");
  print_job_list(".nfo");
  out_append(",");
  print_job_list(".amu");
  out_append(",");
  int torrents = print_job_list(".tor");
  out_append(",");
  int wgets = print_job_list(".wgt");
  out_append(",");
  out_append("torrents:" + std::to_string(torrents) + ",wgets:" + std::to_string(wgets) + ",");
  // How many transfers kivd resumed at its last start, and when (ms).
  if (std::optional<ResumedNotice> resumed = read_resumed_notice())
    out_append("resumed:{count:" + std::to_string(resumed->count) +
               ",at:" + std::to_string(resumed->when * 1000LL) + "},");
}

}  // namespace kiv::list
