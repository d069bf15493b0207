#pragma once

#include <cstddef>
#include <string_view>

namespace kiv::torrent {

/// Only this many characters of the request name are used.
inline constexpr size_t kMaxRequestName = 500;
/// Larger files are not read: no torrent comes near this, and a small box
/// cannot hold much more in memory.
inline constexpr size_t kMaxTorrentBytes = size_t(64) << 20;

/// Answers with the content of the torrent file `request_name` (relative to
/// the download directory, cut to kMaxRequestName) as a script object, or
/// with a message. Ends the process.
[[noreturn]] void inspect_torrent(std::string_view request_name);

}  // namespace kiv::torrent
