#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiv {

/// The SHA-1 digest of `data` (FIPS 180-4): what a torrent's info hash is.
std::array<uint8_t, 20> sha1(std::string_view data);

/// `digest` as 40 lower-case hexadecimal characters.
std::string hex_digest(const std::array<uint8_t, 20>& digest);

}  // namespace kiv
