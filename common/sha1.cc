#include "common/sha1.h"

namespace kiv {
namespace {

constexpr uint32_t rotate_left(uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

void process_block(std::array<uint32_t, 5>& state, const uint8_t* block) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 |
           uint32_t(block[4 * i + 2]) << 8 | uint32_t(block[4 * i + 3]);
  for (int i = 16; i < 80; ++i) w[i] = rotate_left(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t next = rotate_left(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotate_left(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

std::array<uint8_t, 20> sha1(std::string_view data) {
  std::array<uint32_t, 5> state = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  size_t whole = data.size() / 64 * 64;
  for (size_t at = 0; at < whole; at += 64)
    process_block(state, reinterpret_cast<const uint8_t*>(data.data() + at));
  // The rest, a 1 bit, zeros and the length in bits fill one or two blocks.
  uint8_t tail[128] = {};
  size_t rest = data.size() - whole;
  for (size_t i = 0; i < rest; ++i) tail[i] = uint8_t(data[whole + i]);
  tail[rest] = 0x80;
  size_t tail_size = rest < 56 ? 64 : 128;
  uint64_t bits = uint64_t(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_size - 1 - i] = uint8_t(bits >> (8 * i));
  for (size_t at = 0; at < tail_size; at += 64) process_block(state, tail + at);

  std::array<uint8_t, 20> digest;
  for (int i = 0; i < 20; ++i) digest[i] = uint8_t(state[i / 4] >> (24 - 8 * (i % 4)));
  return digest;
}

std::string hex_digest(const std::array<uint8_t, 20>& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

}  // namespace kiv
