#pragma once

#include <optional>
#include <string>
#include <string_view>

// aria2c's control file ("NAME.aria2" beside a download it has not
// finished): which pieces it has, so a restart fetches only the rest.
namespace kiv::torrent {

/// Larger control files are not read: a torrent of kMaxTorrentBytes holds
/// fewer pieces than this many bits, with room for its pieces in flight.
inline constexpr size_t kMaxControlBytes = size_t(4) << 20;

/// What a control file of a torrent download says.
struct Aria2Control {
  std::string info_hash;  // 40 lower-case hexadecimal characters
  long long piece_length = 0;
  long long total_length = 0;
  long long uploaded = 0;  // bytes sent to peers over every run
  std::string bits;        // one bit a piece had, the first in the highest bit
};

/// The control file's bytes read strictly (version 1, big-endian figures):
/// a 20-byte info hash, a piece length above 0, a bit field of exactly one
/// bit a piece, its pieces in flight each inside the torrent, nothing
/// after them. Nothing for anything else: a cut, foreign or hostile file,
/// or that of a download that is no torrent.
std::optional<Aria2Control> read_aria2_control(std::string_view data);

/// read_aria2_control of the regular file at `path`, at most
/// kMaxControlBytes; nothing when it cannot be read.
std::optional<Aria2Control> read_aria2_control_file(const std::string& path);

}  // namespace kiv::torrent
