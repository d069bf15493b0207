#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kiv {

/// Dictionaries and lists of a torrent nest at most this deep for its hash
/// to be taken.
inline constexpr int kInfoHashMaxDepth = 64;

/// A torrent's info hash: the SHA-1 of the bencoded "info" value of the
/// top-level dictionary exactly as the file holds it, as 40 lower-case
/// hexadecimal characters; nothing when `data` is no bencoded dictionary
/// with such a value.
std::optional<std::string> torrent_info_hash(std::string_view data);

}  // namespace kiv
