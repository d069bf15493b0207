#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/quote.h"

namespace kiv::torrent {

/// A longer request name is refused.
inline constexpr size_t kMaxRequestName = kMaxNameLength;
/// Larger files are not read: no torrent comes near this, and a small box
/// cannot hold much more in memory.
inline constexpr size_t kMaxTorrentBytes = size_t(64) << 20;

/// The content of the regular torrent file at `path`, at most
/// kMaxTorrentBytes; ends the request, naming `name`, when it cannot be read.
std::string read_torrent(const std::string& path, std::string_view name);

/// Answers with the content of the torrent file `request_name` (relative to
/// the download directory, at most kMaxRequestName bytes) as a script object, or
/// with a message. Ends the process.
[[noreturn]] void inspect_torrent(std::string_view request_name);

}  // namespace kiv::torrent
