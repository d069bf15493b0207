#include "torrent/aria2_control.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>

#include "common/file.h"
#include "common/sha1.h"

namespace kiv::torrent {
namespace {

constexpr size_t kInfoHashLength = 20;
/// The version aria2c writes: its figures in network byte order.
constexpr uint16_t kVersion = 1;

/// Reads big-endian figures off the front of the data, failing past its end.
class Reader {
 public:
  explicit Reader(std::string_view data) : rest_(data) {}
  std::optional<uint64_t> number(size_t bytes) {
    if (rest_.size() < bytes) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value = value << 8 | static_cast<unsigned char>(rest_[i]);
    rest_.remove_prefix(bytes);
    return value;
  }
  std::optional<std::string_view> bytes(uint64_t length) {
    if (rest_.size() < length) return std::nullopt;
    std::string_view taken = rest_.substr(0, size_t(length));
    rest_.remove_prefix(size_t(length));
    return taken;
  }
  bool at_end() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace

std::optional<Aria2Control> read_aria2_control(std::string_view data) {
  Reader in(data);
  std::optional<uint64_t> version = in.number(2), extension = in.number(4),
                          hash_length = in.number(4);
  if (version != kVersion || !extension || hash_length != kInfoHashLength) return std::nullopt;
  std::optional<std::string_view> hash = in.bytes(kInfoHashLength);
  std::optional<uint64_t> piece_length = in.number(4), total = in.number(8),
                          uploaded = in.number(8);
  // Figures a long long holds, as every reader of them counts.
  if (!hash || !piece_length || *piece_length == 0 || !total || *total > INT64_MAX ||
      !uploaded || *uploaded > INT64_MAX)
    return std::nullopt;
  uint64_t pieces = *total / *piece_length + (*total % *piece_length != 0);
  std::optional<uint64_t> bits_length = in.number(4);
  if (bits_length != (pieces + 7) / 8) return std::nullopt;
  std::optional<std::string_view> bits = in.bytes(*bits_length);
  std::optional<uint64_t> in_flight = in.number(4);
  if (!bits || !in_flight || *in_flight > pieces) return std::nullopt;
  // Pieces begun: their own bit field of blocks, not counted as had.
  for (uint64_t i = 0; i < *in_flight; ++i) {
    std::optional<uint64_t> index = in.number(4), length = in.number(4),
                            blocks_length = in.number(4);
    if (!index || *index >= pieces || !length || *length > *piece_length || !blocks_length ||
        !in.bytes(*blocks_length))
      return std::nullopt;
  }
  if (!in.at_end()) return std::nullopt;
  std::array<uint8_t, kInfoHashLength> digest;
  std::copy(hash->begin(), hash->end(), digest.begin());
  return Aria2Control{hex_digest(digest), (long long)*piece_length, (long long)*total,
                      (long long)*uploaded, std::string(*bits)};
}

std::optional<Aria2Control> read_aria2_control_file(const std::string& path) {
  // Non-blocking and regular files only: a pipe or device must not hang us.
  UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status;
  if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      uint64_t(status.st_size) > kMaxControlBytes)
    return std::nullopt;
  std::optional<std::string> data = read_range(file.get(), 0, size_t(status.st_size));
  return data ? read_aria2_control(*data) : std::nullopt;
}

}  // namespace kiv::torrent
