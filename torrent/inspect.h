#pragma once

#include <cstddef>
#include <functional>
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
/// kMaxTorrentBytes; ends the request, naming `name`, when it cannot be
/// read. A torrent start reads it too, to check where its files land.
std::string read_torrent(const std::string& path, std::string_view name);

/// Answers with the regular torrent file at `path` (at most
/// kMaxTorrentBytes, named `name` in messages): `answer` gets its bytes,
/// never none, and writes the whole answer, headers too. Ends the process;
/// memory running out on the way ends it with "Memory allocation failure".
[[noreturn]] void answer_torrent(const std::string& path, std::string_view name,
                                 const std::function<void(const std::string& data)>& answer);

/// Answers with the content of the torrent file `request_name` (relative to
/// the download directory, at most kMaxRequestName bytes) as a script object, or
/// with a message. Ends the process.
[[noreturn]] void inspect_torrent(std::string_view request_name);

}  // namespace kiv::torrent
