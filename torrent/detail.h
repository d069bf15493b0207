#pragma once

#include <string_view>

namespace kiv::torrent {

/// Answers with the detail of the torrent job whose log is `job` (a name
/// in the job directory ending in ".tor"): its torrent, state, files with
/// their progress, peers, seeds, trackers, ratio and time left, or with a
/// message. A magnet job's detail holds what aria2c's log says, and once
/// its torrent is in, its files with their progress from aria2c's control
/// file. Ends the process.
[[noreturn]] void answer_job_detail(std::string_view job);

}  // namespace kiv::torrent
