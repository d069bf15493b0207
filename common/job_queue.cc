#include "common/job_queue.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

#include "common/aria2_state.h"
#include "common/config.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/job_state.h"
#include "common/process.h"

namespace kiv {

bool hold_job_lock() {
  // The lock is on the job directory itself, so that it leaves no file
  // there. A child forked while it is held shares it.
  static UniqueFd held;
  if (held.valid()) return true;
  UniqueFd fd(open(config().trkdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return false;
  while (flock(fd.get(), LOCK_EX) != 0)
    if (errno != EINTR) return false;
  held = std::move(fd);
  return true;
}

std::vector<QueueEntry> queue_entries() {
  std::vector<QueueEntry> entries;
  const std::string& trkdir = config().trkdir;
  std::optional<std::vector<std::string>> names = scan_directory(trkdir, ScanOrder::directory);
  if (!names) return entries;
  for (std::string& name : *names) {
    if (!is_job_log(name)) continue;
    std::optional<std::string> text = read_file(trkdir + record_of_log(name));
    std::optional<JobRecord> record = text ? read_record(*text) : std::nullopt;
    if (!record) continue;
    std::string pid = record->pid.empty() ? "" : transfer_pid(name);
    bool seeding = false;
    if (!pid.empty() && name.ends_with(".tor")) {
      LogEnds log = read_log_ends(trkdir + name);
      seeding = torrent_job_state({*record, true, log.head, log.tail}).phase == JobPhase::seeding;
    }
    entries.push_back({std::move(name), std::move(*record), std::move(pid), seeding});
  }
  return entries;
}

std::vector<const QueueEntry*> queue_order(const std::vector<QueueEntry>& entries) {
  std::vector<const QueueEntry*> queued;
  for (const QueueEntry& entry : entries)
    if (entry.queued()) queued.push_back(&entry);
  std::sort(queued.begin(), queued.end(), [](const QueueEntry* a, const QueueEntry* b) {
    return a->record.turn != b->record.turn ? a->record.turn < b->record.turn : a->log < b->log;
  });
  return queued;
}

bool write_queued(const std::string& record_path, JobRecord record, long long turn) {
  record.wish = JobWish::queued;
  record.turn = turn;
  return write_job_record(record_path, record);
}

long long last_turn(const std::vector<QueueEntry>& entries) {
  long long turn = 0;
  for (const QueueEntry& entry : entries)
    if (entry.record.wish == JobWish::queued) turn = std::max(turn, entry.record.turn);
  return turn + 1;
}

long long first_turn(const std::vector<QueueEntry>& entries) {
  long long turn = 1;
  for (const QueueEntry& entry : entries)
    if (entry.record.wish == JobWish::queued) turn = std::min(turn, entry.record.turn);
  return turn - 1;
}

SlotsTaken slots_taken(const std::vector<QueueEntry>& entries, const QueueSettings& settings) {
  SlotsTaken taken;
  for (const QueueEntry& entry : entries) {
    if (!entry.counted() || (entry.seeding && !settings.seeding_counts)) continue;
    ++taken.active;
    if (entry.torrent()) ++taken.torrents;
  }
  return taken;
}

bool slot_free(const SlotsTaken& taken, const QueueSettings& settings, std::string_view job_log) {
  if (settings.max_active > 0 && taken.active >= settings.max_active) return false;
  return !job_log.ends_with(".tor") || settings.max_torrents == 0 ||
         taken.torrents < settings.max_torrents;
}

Admitted admitted_now(const std::vector<QueueEntry>& entries, const QueueSettings& settings,
                      HourMode mode) {
  Admitted admitted{{}, slots_taken(entries, settings)};
  if (mode == HourMode::paused) return admitted;
  for (const QueueEntry* entry : queue_order(entries)) {
    if (!slot_free(admitted.taken, settings, entry->log)) continue;
    admitted.jobs.push_back(entry);
    ++admitted.taken.active;
    if (entry->torrent()) ++admitted.taken.torrents;
  }
  return admitted;
}

}  // namespace kiv
