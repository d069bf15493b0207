// aria2c's control file reader (the per-file progress of a magnet job's
// detail), on files the fuzzer grows from real ones (fuzz/corpus/control).
// It never crashes nor reads out of bounds, and what it accepts is exactly
// what the format lays out: the figures read back as the bytes hold them,
// a bit field of one bit a piece, nothing after the pieces in flight (so
// the file cut by a byte is refused), and file bytes from it never above
// the torrent's length.
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "torrent/aria2_control.h"
#include "torrent/layout.h"

namespace kiv::fuzz {
namespace {

std::string big_endian(unsigned long long value, size_t bytes) {
  std::string out(bytes, '\0');
  for (size_t i = bytes; i-- > 0; value >>= 8) out[i] = char(value & 0xff);
  return out;
}

std::string hex(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += std::string{kHex[c >> 4], kHex[c & 15]};
  return out;
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv::fuzz;
  // A copy of exactly the input's size: reading a byte past it is caught.
  std::vector<char> copy(data, data + size);
  std::string_view bytes(copy.data(), size);
  std::optional<kiv::torrent::Aria2Control> read = kiv::torrent::read_aria2_control(bytes);
  if (!read) return 0;
  const auto& r = *read;
  std::string what = shown(bytes.substr(0, 200));
  KIV_CHECK(r.piece_length > 0 && r.total_length >= 0 && r.uploaded >= 0, what);
  long long pieces = r.total_length / r.piece_length + (r.total_length % r.piece_length != 0);
  KIV_CHECK((long long)r.bits.size() == (pieces + 7) / 8, what);
  std::string laid_out = big_endian(1, 2) + std::string(bytes.substr(2, 4)) + big_endian(20, 4);
  KIV_CHECK(hex(bytes.substr(10, 20)) == r.info_hash, what);
  laid_out += std::string(bytes.substr(10, 20)) + big_endian(r.piece_length, 4) +
              big_endian(r.total_length, 8) + big_endian(r.uploaded, 8) +
              big_endian(r.bits.size(), 4) + r.bits;
  KIV_CHECK(bytes.starts_with(laid_out), what);
  KIV_CHECK(!kiv::torrent::read_aria2_control(bytes.substr(0, size - 1)), "a cut one read: " + what);

  // One file over the pieces, as the detail lays a torrent out.
  kiv::torrent::TorrentLayout layout{"f", r.piece_length, pieces, {{"f", r.total_length}}, {}, true};
  std::optional<std::vector<long long>> done = kiv::torrent::file_progress(layout, r.bits);
  KIV_CHECK(done && done->size() == 1 && (*done)[0] >= 0 && (*done)[0] <= r.total_length, what);
  return 0;
}
