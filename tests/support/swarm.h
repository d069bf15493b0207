#pragma once

#include <optional>
#include <string>

#include "tests/support/child.h"
#include "tests/support/processes.h"

namespace kiv::testing {

/// A torrent of made content on loopback: its tracker (opentracker, which
/// serves only the torrent its whitelist names) on 127.0.0.1 and a ctorrent
/// seeder on 127.0.0.2 (ctorrent ignores peers on its own address), both
/// ended with it. Ready once the seeder has announced itself.
class Swarm {
 public:
  static constexpr size_t kPiece = 65536;

  explicit Swarm(size_t size);

  const std::string& content() const { return content_; }
  std::string torrent() const { return seed_.path() + "a.torrent"; }
  /// The folder of the torrent, its content and the tracker's whitelist.
  const std::string& folder() const { return seed_.path(); }

 private:
  std::string scrape() const;

  std::string content_;
  int tracker_port_;
  int seeder_port_;
  std::string escaped_hash_;
  TempDir seed_;
  std::optional<Running> tracker_;
  std::optional<Running> seeder_;
};

}  // namespace kiv::testing
