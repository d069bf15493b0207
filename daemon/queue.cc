#include "daemon/queue.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "common/job_queue.h"
#include "common/queue_settings.h"
#include "ctl/jobs.h"
#include "ctl/queue.h"
#include "daemon/resume.h"

namespace kiv {
namespace {

std::string record_path(const std::string& log) { return config().trkdir + record_of_log(log); }

/// Puts the running job `entry` back in the queue at `turn` and ends its
/// transfer; the user's wish (running) is kept in that it continues later.
void pause_job(const QueueEntry& entry, long long turn) {
  // Recorded first: a power cut right after must not bring it back now.
  if (!write_queued(record_path(entry.log), entry.record, turn)) {
    syslog(LOG_ERR, "%s not paused: %m", entry.log.c_str());
    return;
  }
  kill(pid_t(std::stol(entry.pid)), SIGTERM);
}

/// The exit status of a pass that asks for another soon.
constexpr int kPassSoon = 3;

/// Whether a job left waiting may get the slot of a torrent that turns to
/// seeding: nothing in the job directory changes then, so only a look soon
/// finds it.
bool seeding_may_free_slot(const std::vector<QueueEntry>& entries, const QueueSettings& settings,
                           size_t admitted) {
  if (settings.seeding_counts || queue_order(entries).size() <= admitted) return false;
  return std::any_of(entries.begin(), entries.end(), [](const QueueEntry& entry) {
    return entry.counted() && entry.torrent() && !entry.seeding;
  });
}

/// Takes a queued job that could not start out of the queue (stopped; the
/// system log says why), so that it does not hold back the jobs after it.
void leave_queue(const std::string& log) {
  std::optional<std::string> text = read_file(record_path(log));
  std::optional<JobRecord> record = text ? read_record(*text) : std::nullopt;
  if (!record || record->wish != JobWish::queued) return;
  record->wish = JobWish::stopped;
  if (!write_job_record(record_path(log), *record))
    syslog(LOG_ERR, "%s not taken out of the queue: %m", log.c_str());
}

}  // namespace

/// One pass over the job directory, under its lock: in a paused hour the
/// transfers the queue started stop and wait first in line; otherwise the
/// queued jobs that get a slot start, in order (each as resume_job starts
/// it), and the running transfers whose share of the global limits changed
/// restart with the new share. Ends nothing but itself: run it in a process
/// of its own.
static NextPass queue_pass() {
  if (!hold_job_lock()) return NextPass::on_change;
  QueueSettings settings = read_queue_settings();
  HourMode mode = hour_mode(settings, time(nullptr));
  std::vector<QueueEntry> entries = queue_entries();
  // A magnet job that has fetched its torrent goes on to its files in the
  // slot it had (in a paused hour only one started beside the queue);
  // counted again before the queue hands out the rest.
  bool continued = false;
  for (const QueueEntry& entry : entries)
    if (ctl::awaits_files_run(entry) &&
        (mode != HourMode::paused || entry.record.slot == QueueSlot::outside))
      continued = resume_job(entry.log) || continued;
  if (continued) entries = queue_entries();
  if (mode == HourMode::paused) {
    std::vector<const QueueEntry*> running;
    for (const QueueEntry& entry : entries)
      if (entry.counted()) running.push_back(&entry);
    long long turn = first_turn(entries) - static_cast<long long>(running.size());
    for (const QueueEntry* entry : running) pause_job(*entry, ++turn);
    // Paused before but not yet ended (ctorrent takes a second SIGTERM).
    for (const QueueEntry& entry : entries)
      if (!entry.pid.empty() && entry.record.wish == JobWish::queued)
        kill(pid_t(std::stol(entry.pid)), SIGTERM);
    return NextPass::on_change;
  }
  Admitted admitted = admitted_now(entries, settings, mode);
  // The global limits divided among every transfer that runs once these
  // start; the running ones whose share changed restart with the new one
  // (each continues where it was).
  std::vector<const QueueEntry*> running;
  for (const QueueEntry& entry : entries)
    if (!entry.pid.empty()) running.push_back(&entry);
  size_t torrents = 0;
  for (const auto* group : {&running, &admitted.jobs})
    for (const QueueEntry* entry : *group) torrents += entry->torrent();
  ctl::set_rate_share(ctl::divided(limits_in(settings, mode), running.size() + admitted.jobs.size(),
                              torrents));
  for (const QueueEntry* entry : admitted.jobs)
    if (!resume_job(entry->log)) leave_queue(entry->log);
  for (const QueueEntry* entry : running)
    if (ctl::limits_outdated(*entry)) resume_job(entry->log);
  return seeding_may_free_slot(entries, settings, admitted.jobs.size()) ? NextPass::soon
                                                                        : NextPass::on_change;
}

NextPass run_queue_pass() {
  pid_t child = fork();
  if (child < 0) return NextPass::on_change;
  if (child == 0) {
    NextPass next = NextPass::on_change;
    try {
      next = queue_pass();
    } catch (...) {
      // Only this pass is lost; the next event brings another.
    }
    _exit(next == NextPass::soon ? kPassSoon : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == kPassSoon ? NextPass::soon
                                                               : NextPass::on_change;
}

UniqueFd watch_job_directory() {
  UniqueFd watch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  // A transfer's log is closed when it ends; records and settings are
  // replaced by a rename; a deleted job frees its slot too.
  if (watch.valid() &&
      inotify_add_watch(watch.get(), config().trkdir.c_str(),
                        IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE) < 0)
    watch = UniqueFd();
  return watch;
}

bool drain_watch(const UniqueFd& watch) {
  bool seen = false;
  alignas(inotify_event) char buffer[4096];
  while (read(watch.get(), buffer, sizeof buffer) > 0) seen = true;
  return seen;
}

std::vector<std::string> admitted_at_start(const std::vector<std::string>& jobs) {
  if (!hold_job_lock()) return jobs;
  QueueSettings settings = read_queue_settings();
  HourMode mode = hour_mode(settings, time(nullptr));
  std::vector<QueueEntry> entries = queue_entries();
  SlotsTaken taken = slots_taken(entries, settings);
  std::vector<std::string> admitted;
  std::vector<const QueueEntry*> waiting;
  for (const std::string& name : jobs) {
    auto entry = std::find_if(entries.begin(), entries.end(),
                              [&](const QueueEntry& each) { return each.log == name; });
    if (entry == entries.end()) continue;
    bool torrent = entry->torrent();
    if (entry->record.slot == QueueSlot::outside ||
        (mode != HourMode::paused && slot_free(taken, settings, entry->log))) {
      admitted.push_back(name);
      if (entry->record.slot == QueueSlot::counted) {
        ++taken.active;
        taken.torrents += torrent;
      }
    } else {
      waiting.push_back(&*entry);
    }
  }
  long long turn = first_turn(entries) - static_cast<long long>(waiting.size());
  for (const QueueEntry* entry : waiting)
    if (!write_queued(record_path(entry->log), entry->record, ++turn))
      syslog(LOG_ERR, "%s not queued: %m", entry->log.c_str());
  return admitted;
}

}  // namespace kiv
