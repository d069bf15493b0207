#pragma once

#include <string>
#include <string_view>
#include <variant>

// Magnet links: the strict check of a link before anything runs, and the
// aria2c start line of a magnet job.
namespace kiv::ctl {

/// The longest magnet link taken: the longest text the shell quoting takes.
inline constexpr size_t kMagnetLength = 500;

/// What a checked magnet link names.
struct Magnet {
  std::string hash;  // the info hash, 40 lower-case hexadecimal characters
  std::string name;  // the decoded "dn", or "" when it has none
};

/// The magnet link `uri` read strictly: "magnet:?" followed by "&"-separated
/// parameters, exactly one "xt=urn:btih:" with a hash of 40 hexadecimal or 32
/// base32 characters, at most one "dn" and one "xl" (digits), any number of
/// "tr" (http, https or udp trackers) and "ws" (http or https web seeds);
/// every character a URI character, every "%" a whole escape, no control
/// character once decoded. Otherwise the sentence that refuses it.
std::variant<Magnet, std::string> read_magnet(std::string_view uri);

/// read_magnet, ending the request with its refusal.
Magnet check_magnet(std::string_view uri);

/// aria2c's torrent settings from kiv.conf, each checked, or its default.
struct TorrentSettings {
  std::string port;   // TCP and DHT port or range
  std::string ratio;  // seeding ends at this share ratio...
  std::string time;   // ...or after this many minutes
  bool dht = true;
};
inline constexpr std::string_view kDefaultTorrentPort = "6881-6999";
inline constexpr std::string_view kDefaultSeedRatio = "1.0";
inline constexpr std::string_view kDefaultSeedTime = "60";

/// The settings of config(); ends the request naming a value that is not
/// a port or range, a ratio, whole minutes, or "on"/"off".
TorrentSettings torrent_settings();

/// The speed limits (KiB/s, nothing for none) as aria2c options, the form
/// a magnet job's record keeps them in.
std::string aria2_limits(unsigned long down, unsigned long up);

/// Ends the request unless `options` (read back from a record) are speed
/// limits as aria2_limits writes them and a choice of files as
/// with_file_choice writes it: they go into a shell line.
void check_aria2_limits(std::string_view options);

/// What an aria2c start needs. A magnet job runs twice: first on its link
/// to fetch the torrent alone, saved in the job directory as HASH.torrent;
/// then, once every path of it is judged to stay inside the folder, on
/// that torrent to fetch its files: aria2c follows links where it writes.
struct Aria2Start {
  std::string program;
  TorrentSettings settings;
  std::string workdir;  // where it writes ("/" at its end): the files' folder, or the job directory
  std::string dht_file;  // the job's DHT state, which also names the job
  std::string options;   // checked speed limits and choice of files
  std::string source;    // the checked magnet link, or the job's own torrent
  std::string job_log;
};

/// The aria2c start line; it prints the background process number. No
/// remote control, no hooks, no configuration file; an existing file is
/// never replaced; the control file beside the download lets a restart go
/// on where it stopped; status every few seconds in whole bytes. A magnet
/// link fetches the torrent alone.
std::string aria2_command_line(const Aria2Start& start);

/// Whether the tail of aria2c's log shows its transfer over by itself: its
/// results table, with no download left in progress ("INPR").
bool aria2_log_ended(std::string_view tail);

/// The first line of a magnet job's log, line feed included: the date and
/// the info hash, which the job shows until the torrent's own name is in;
/// on the run of the fetched torrent its `name` after them (as one line).
std::string magnet_header(time_t when, std::string_view hash, std::string_view name = {});

/// The line of a magnet job's log that says why its torrent was refused.
std::string refused_line(std::string_view sentence);

}  // namespace kiv::ctl
