#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/job_record.h"
#include "common/queue_settings.h"

// The queue as the job directory holds it: every job's record says whether
// it waits (line 5 "queued") and its turn (line 6). Read by kiv-ctl (a new
// job runs or waits), kiv-list (the places) and kivd (who starts next).
namespace kiv {

/// Takes the job directory's lock, held until this process ends (the
/// descriptor is closed on exec: no transfer started meanwhile keeps it).
/// Whatever counts the running jobs and then starts or records one holds it,
/// so that two at once never both see a free slot. Taking it again in the
/// same process, or in a child forked while it is held, does nothing. False
/// with errno when it cannot be taken.
bool hold_job_lock();

/// One transfer job of the job directory.
struct QueueEntry {
  std::string log;  // its log's name, e.g. "aB3dE9.wgt"
  JobRecord record;
  std::string pid;  // its transfer's process number while it runs, else ""
  bool seeding = false;  // a running torrent that has every piece

  bool torrent() const { return log.ends_with(".tor"); }
  bool queued() const { return pid.empty() && record.wish == JobWish::queued; }
  /// Running and counted against the queue's limits.
  bool counted() const { return !pid.empty() && record.slot == QueueSlot::counted; }
};

/// Every transfer job whose record reads whole, in the job directory's
/// order.
std::vector<QueueEntry> queue_entries();

/// The queued jobs of `entries` in their order: lowest turn first, the
/// log's name between equal turns.
std::vector<const QueueEntry*> queue_order(const std::vector<QueueEntry>& entries);

/// Writes `record` to `record_path` as queued at `turn`. False with errno
/// on failure.
bool write_queued(const std::string& record_path, JobRecord record, long long turn);

/// The turn a job joining the queue at its end gets.
long long last_turn(const std::vector<QueueEntry>& entries);

/// The turn a job put before every queued one gets.
long long first_turn(const std::vector<QueueEntry>& entries);

/// The queue's slots in use.
struct SlotsTaken {
  unsigned active = 0;
  unsigned torrents = 0;
};

/// The slots the running jobs of `entries` take: those started by the
/// queue, a seeding torrent only when the settings count it.
SlotsTaken slots_taken(const std::vector<QueueEntry>& entries, const QueueSettings& settings);

/// Whether one more job, the one of log `job_log` (a torrent's or not),
/// gets a slot beside `taken`.
bool slot_free(const SlotsTaken& taken, const QueueSettings& settings, std::string_view job_log);

/// The queued jobs that get a slot now, in the queue's order, with the
/// slots taken once they run: none in a paused hour. A torrent that finds
/// the torrents' slots taken lets the jobs after it pass.
struct Admitted {
  std::vector<const QueueEntry*> jobs;
  SlotsTaken taken;
};
Admitted admitted_now(const std::vector<QueueEntry>& entries, const QueueSettings& settings,
                      HourMode mode);

}  // namespace kiv
