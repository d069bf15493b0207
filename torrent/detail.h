#pragma once

#include <string_view>

namespace kiv::torrent {

/// Answers with the detail of the ctorrent job whose log is `job` (a name
/// in the job directory ending in ".tor"): its torrent, state, files with
/// their progress, peers, seeds, trackers, ratio and time left, or with a
/// message. Ends the process.
[[noreturn]] void answer_job_detail(std::string_view job);

}  // namespace kiv::torrent
