#pragma once

#include <string>

#include "common/job_queue.h"
#include "common/job_record.h"
#include "common/queue_settings.h"

// The queue on kiv-ctl's side: whether a start runs now or waits, and the
// commands for the queue's settings, a queued job started at once and a
// queued job's place.
namespace kiv::ctl {

/// Takes the job directory's lock for the rest of the request
/// (hold_job_lock); ends the request when it cannot.
void hold_queue_lock();

/// Who decided that the starts of this process run.
enum class Admission {
  by_queue,  // a user's start: it waits when the queue is full
  granted,   // kivd's: the queue's turn or a resume; the job keeps its slot
  outside,   // "start now": it runs beside the queue
};
/// Sets the admission of the starts that follow (by_queue until set).
void set_admission(Admission admission);

/// The slot the record of `job`, started now, gets.
QueueSlot started_slot(const JobRecord& job);

/// Called by a start once its job is checked and its record and log exist,
/// just before the tool would run: when the start is the queue's to decide
/// and the queue is full, the hour paused, or queued jobs would take the
/// slot first, records the job (`job`: its source, options and folder) as
/// queued at the end and returns true: the start ends there, "OK". Takes
/// the job directory's lock, so that the slot it finds stays free until the
/// start has recorded its transfer.
bool queued_instead(const std::string& job_log, const JobRecord& job);

/// Each transfer's share of the global limits in force, KiB/s (0 = none),
/// for the starts that follow: kivd sets it for the transfers it starts and
/// restarts together. Unset, a start computes it from the transfers running
/// beside it.
void set_rate_share(const Limits& share);

/// The limit options a start adds to its tool's command line for the job
/// whose log is `job_log` (the tool's own options: wget --limit-rate,
/// ctorrent -D/-U, aria2c --max-*-limit): the share, or the job's own
/// limit in `options` where that is lower. "" when no global limit is set.
std::string share_options(const std::string& job_log, const JobRecord& job);

/// Whether the running transfer `entry` runs with other limits than its
/// share now gives it, by its command line; it is then restarted.
bool limits_outdated(const QueueEntry& entry);

/// The share of `limits` for each of `transfers` (of which `torrents` take
/// the upload limit), at least 1 KiB/s each.
Limits divided(const Limits& limits, size_t transfers, size_t torrents);

/// "queue": sets the fields of the queue's settings the request gives
/// (common/queue_settings.h), each checked before anything is written.
void queue_command(const std::string& file, const std::string& para);

/// "startnow": starts the queued job whose log is `file` at once, beside
/// the queue (not counted against its limits while it runs).
void startnow_command(const std::string& file, const std::string& para);

/// "move": moves the queued job whose log is `file` by FORM_to: "top",
/// "up" or "down" among the queued.
void move_command(const std::string& file, const std::string& para);

}  // namespace kiv::ctl
