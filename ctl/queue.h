#pragma once

#include <string>

#include "common/job_record.h"

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
