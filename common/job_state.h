#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/job_record.h"
#include "common/log_end.h"

// A job's state as the status answer gives it, read from the job's record
// and the two ends of its log. One reader per kind of job (wget_state.h,
// ctorrent_state.h, ...), each a pure function of a JobView.
namespace kiv {

/// The status reads at most this much of the start of a job log, where the
/// tools name what they fetch, and kLogTailLength of its end: the last
/// progress lines and what ended the job.
inline constexpr size_t kLogHeadLength = 2048;

enum class JobPhase { queued, metadata, running, seeding, stopped, finished, failed };

/// The name the status answer gives `phase` ("queued", "running", ...).
std::string_view phase_name(JobPhase phase);

struct JobState {
  std::string name;  // the file or torrent name, for people; may be a peer's choice
  JobPhase phase = JobPhase::stopped;
  long long done = 0;   // bytes
  long long size = -1;  // bytes, -1 while unknown
  long long down = 0;   // bytes per second, 0 unless running
  long long up = 0;
  std::optional<int> peers;  // torrents: connected peers that are not seeds
  std::optional<int> seeds;  // torrents: connected seeds
  std::string reason;        // failed: the line that says why
};

/// What a reader gets of one job. `head` is the first kLogHeadLength bytes
/// of the log, `tail` its last kLogTailLength; a short log is in both.
struct JobView {
  const JobRecord& record;
  bool running;  // its transfer process runs (transfer_pid)
  std::string_view head;
  std::string_view tail;
};

/// The two ends of a job log as a JobView takes them, read with one or two
/// reads whatever the log's length; both empty when it cannot be read or
/// is no regular file.
struct LogEnds {
  std::string head;
  std::string tail;
};
LogEnds read_log_ends(const std::string& path);

/// A state reader: never fails; what the log does not say stays unknown.
using StateReader = JobState (*)(const JobView& job);

/// Bytes from a tool's figure with an optional binary unit: "64.00K",
/// "1.04M", "1006K", "12345", "2G"; nothing for anything else.
std::optional<long long> unit_bytes(std::string_view figure);

}  // namespace kiv
