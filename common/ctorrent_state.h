#pragma once

#include <optional>
#include <string_view>

#include "common/job_state.h"

namespace kiv {

/// One status line of ctorrent (its default format), such as
/// "/ 1/0/2 [11/23/23] 0MB,0MB | 97,0K/s | 96,0K E:0,1".
struct CtorrentStatus {
  int seeds = 0, leechers = 0, connecting = 0;
  long long have = 0, pieces = 0, available = 0;  // pieces
  long long down = 0, up = 0;                     // bytes per second
  long long downloaded = 0, uploaded = 0;         // this run, whole MiB
};

/// The last status line in `tail`, nothing while there is none.
std::optional<CtorrentStatus> last_ctorrent_status(std::string_view tail);

/// The state of a ctorrent job. ctorrent writes the torrent's layout at
/// the start of each run's log ("Piece length:", "FILES INFO", "Directory:"
/// for a torrent of several files, "<1> name [bytes]" per file, "Total:"):
/// the name is the directory or the single file, the size the sum of the
/// files (pieces times piece length when the head holds no whole list).
/// The last status line gives progress, speeds, seeds and other peers; a
/// running job that has every piece is seeding. One that no longer runs has
/// finished with every piece, failed when an "error" line ends its log,
/// and is stopped otherwise.
JobState ctorrent_state(const JobView& job);

/// ctorrent's seeding hours when its options do not name them (-e).
inline constexpr long long kCtorrentSeedHours = 72;

/// Whether a ctorrent job that has every piece and no longer runs had ended
/// its seeding by its own limit, `seconds_run` after its start. Killed (a
/// power cut) it leaves no "Quitting" status line; quitting, it reached its
/// hours (its log's "Seed for others N hours", else the options' -e, else
/// kCtorrentSeedHours) or its ratio (-E), or a signal ended it early: a run
/// shorter than the hours without -E was ended early.
bool ctorrent_seeding_over(const JobView& job, long long seconds_run);

}  // namespace kiv
