#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/process.h"

// The job record: the file named by the job id in the job directory, beside
// the job's log. Lines, each ended by a line feed:
//   1 the transfer's process number (empty when it never started)
//   2 the source: the URL, the full torrent path, or the magnet link
//   3 the options exactly as received
//   4 the folder below the download directory the files land in ("" for
//     kinds that keep none); absent in records of older versions
//   5 what the user last asked of the job: "running", "stopped" or
//     "queued" (waiting for a free slot or an hour that allows it); absent
//     in records of older versions, which are then left as they are
//   6 its place in the queue: for a queued job its turn (a number, the
//     lowest goes first), for a running one "now" when it was started
//     outside the queue; empty or absent otherwise
//   7 "asl" for a torrent shown with ctorrent's alternative status line;
//     absent otherwise (lines 4 to 6 are then written, empty where they
//     have nothing to say)
namespace kiv {

/// Lines 2 to 4 of a job record are read up to this length.
inline constexpr size_t kRecordLineLength = 999;

/// What the user last asked of a job.
enum class JobWish {
  unknown,  // an older record: nothing is done with it by itself
  running,  // started or restarted: continued after a power cut
  stopped,  // stopped by the user: stays stopped
  queued,   // waits in the queue; kivd starts it
};

/// Whether a running job counts against the queue's limits.
enum class QueueSlot {
  counted,  // started by the queue, or before there was one
  outside,  // "start now": runs beside the queue
};

/// Which status line ctorrent shows, chosen at the start (FORM_asl).
enum class StatusLine {
  usual,
  alternative,
};

struct JobRecord {
  std::string pid;      // empty when the transfer never started
  std::string source;   // the URL, the full torrent path, or the magnet link
  std::string options;  // the options exactly as received
  /// The folder below the download directory the files land in (the
  /// FORM_curdir of the first start); absent in records of older versions.
  std::optional<std::string> folder;
  JobWish wish = JobWish::unknown;
  long long turn = 0;  // queued: its turn, lower first
  QueueSlot slot = QueueSlot::counted;
  StatusLine status_line = StatusLine::usual;  // kept for restarts
};

/// Whether `name` may name a job's record or log: letters, digits, ".",
/// "_", "-", not starting with ".", at most kMaxNameLength long, so that
/// nothing outside the job directory is read, signalled, removed or put in
/// a shell line.
bool is_job_name(std::string_view name);

/// Whether `name` is a transfer job's log: ".wgt" or ".tor" at its end.
bool is_job_log(std::string_view name);

/// The record beside the job log `log` (a name or a path): all before its
/// last ".". `log` itself when it has none, which callers that must not
/// take the log for its record check by comparing.
std::string record_of_log(std::string_view log);

/// The record's text. A wish is written only with a folder line before it
/// (an older record has neither, and gets none); the sixth line only with
/// a wish to go with it or the seventh after it.
std::string record_text(const JobRecord& record);

/// Replaces the record at `path` whole (mode 0600), so that a reader never
/// sees half of it and after a power cut it is the old or the new one.
/// False with errno.
bool write_job_record(const std::string& path, const JobRecord& record);

/// Reads a record back leniently: line 1 up to kPidTextLength, lines 2 to 4
/// up to kRecordLineLength characters, missing lines empty (a missing fourth
/// line: no folder; a missing or unknown fifth: no wish; a queued job
/// without a readable turn: turn 0).
JobRecord parse_record(std::string_view text);

/// Reads a record back only when it is whole, as a start or a stop wrote
/// it: ended by a line feed, at least three lines, a plain process number
/// or none, no line longer than it may be. Nothing for an empty or cut
/// record, which must never be started from.
std::optional<JobRecord> read_record(std::string_view text);

}  // namespace kiv
