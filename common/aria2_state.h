#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/job_state.h"

namespace kiv {

/// The state of an aria2c job (a magnet link). aria2c first fetches the
/// torrent ("Download complete: [MEMORY][METADATA]NAME" names it), then its
/// content; its readouts ("[#gid 10176B/600000B(1%) CN:1 SD:1 DL:10155B]",
/// "[#gid SEED(0.0) CN:1 SD:1]") give bytes, speeds and connections, and
/// its "Download Results" table how a run ended: OK finished, ERR failed
/// (the last "errorCode=" or "[ERROR]" line says why), anything else
/// stopped. Until the torrent is in, the job is `metadata`, named by the
/// link's hash that its log's first line holds.
/// A job fetches its torrent alone first (its results row "[MEMORY]..."
/// ends nothing: the job reads as stopped until its files' run starts);
/// that run's first line names the torrent after the hash
/// (magnet_header), and a torrent refused then leaves kRefusedLine with the
/// sentence: failed.
JobState aria2_state(const JobView& job);

/// The line kiv-ctl adds to a magnet job's log when it refuses the fetched
/// torrent, the sentence after it.
inline constexpr std::string_view kRefusedLine = "-- refused --";

/// Whether the magnet job's last run fetched its torrent and nothing has
/// been made of it yet: its files' run is due.
bool aria2_torrent_fetched(const JobView& job);

/// What this file's readers make of a piece of aria2c's log: one trimmed to
/// its ending lines and the latest of each other kind but `other` reads
/// as before.
enum class Aria2Line {
  other,
  readout,        // the last readout of either kind gives peers, speeds, seeding
  sized_readout,  // gives the bytes of a known size: the last one, the bytes done
  error,          // says why: the last one, a failed run's reason
  ending,         // how a run ended: the results' rows, the torrent in, the seeding
                  // over, kRefusedLine
};
Aria2Line aria2_line(std::string_view line);

/// The share ratio of the last readout in `tail` while seeding ("SEED(1.5)")
/// in hundredths, or nothing.
std::optional<long long> aria2_seed_ratio(std::string_view tail);

/// Whether an aria2c job that ended with every file complete had ended its
/// seeding by its own limit ("Seeding is over."), not by a signal.
bool aria2_seeding_over(const JobView& job);

/// Whether a finished torrent job had ended its seeding by its own limit
/// (ctorrent_seeding_over, aria2_seeding_over by its engine).
bool torrent_seeding_over(const JobView& job, long long seconds_run);

/// A torrent job's state by its engine: aria2c's for a magnet link,
/// ctorrent's for a torrent file.
JobState torrent_job_state(const JobView& job);

}  // namespace kiv
