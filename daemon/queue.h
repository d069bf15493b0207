#pragma once

#include <string>
#include <vector>

#include "common/file.h"

// The queue kept by kivd: it starts the next queued transfers as soon as
// slots free, stops the queue's transfers in paused hours and continues them
// when an hour allows.
namespace kiv {

/// What a queue pass asks of the next one.
enum class NextPass {
  on_change,  // when the job directory or the hour changes
  soon,       // shortly too: a torrent that turns to seeding frees a slot
};

/// One pass of the queue over the job directory (in a paused hour the
/// queue's transfers stop; otherwise the queued jobs that get a slot start
/// and the running ones whose share of the global limits changed restart
/// with the new share), in a child process, waited for.
NextPass run_queue_pass();

/// A watch on the job directory for what can free a slot or change the
/// queue: a transfer's log closed (it ended), a record or the settings
/// replaced, a job deleted. None (-1) without inotify.
UniqueFd watch_job_directory();

/// Reads what the watch has seen; whether anything was.
bool drain_watch(const UniqueFd& watch);

/// Of the interrupted jobs kivd finds at its start, those that start now:
/// the ones started beside the queue, then as many as the queue has slots
/// for, none in a paused hour. The others wait first in line, in their
/// order. Takes the job directory's lock for the rest of the process.
std::vector<std::string> admitted_at_start(const std::vector<std::string>& jobs);

}  // namespace kiv
