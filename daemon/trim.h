#pragma once

#include <string>
#include <string_view>
#include <vector>
#include <syslog.h>

namespace kiv {

/// Job logs larger than this many bytes are trimmed; one of exactly this
/// size is left alone.
inline constexpr size_t kTrimThreshold = 500;
/// Longest first line kept, its line feed counted.
inline constexpr size_t kMaxHeadLength = 498;
/// The final part of a log searched for the latest status line.
inline constexpr size_t kTailRegion = 500;
/// Shortest line or redraw that counts as a status line, line feed counted.
inline constexpr size_t kMinStatusLength = 3;
/// A log growing while it is trimmed is read again at most this often.
inline constexpr int kTrimAttempts = 3;
/// System-log priority of every trimming message (value 32).
inline constexpr int kTrimLogPriority = LOG_AUTH | LOG_EMERG;

/// The first line of a log as kept: `start` is the log's first
/// kMaxHeadLength bytes (or all of it). A longer first line is cut to
/// kMaxHeadLength - 1 characters and ended with a line feed, so the status
/// line after it stays a line of its own.
std::string kept_head(std::string_view start);

/// The latest status line in `region` (a log's final kTailRegion bytes):
/// the last line of at least kMinStatusLength characters, narrowed to its
/// last carriage-return redraw of that length (keeping the line feed when
/// that redraw ends the line). Falls back to the region's last line.
std::string latest_status(std::string_view region);

/// aria2c's latest whole "FILE: " line in `region`, line feed included, or
/// "": the name of what a magnet job fetches, known once its metadata is in.
std::string latest_file_line(std::string_view region);

/// The whole lines of `region` that aria2c's state is read from, line feed
/// included, in their order (aria2_line): its latest readout, its latest
/// one giving a size, its latest error line and every line telling how a
/// run ended.
std::vector<std::string> aria2_kept_lines(std::string_view region);

/// Trims every job log of the job directory larger than kTrimThreshold (a
/// regular file with a single link) to
/// its first line, wget's latest "Length:" line, wget's first "Saving to:"
/// line or else aria2c's latest "FILE: " line (the job's own file), for
/// a job whose record names a magnet link aria2_kept_lines (the last two
/// looked for in the final kLogTailLength bytes, as much as the job's
/// readers read), and its latest status line, rewriting it in place (the
/// same file, which transfer programs keep appending to), and only when
/// that makes it shorter.
/// Creates the job directory (0755) when it is missing.
/// Changes the working directory to the job directory.
void trim_job_logs();

}  // namespace kiv
