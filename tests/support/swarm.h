#pragma once

#include <optional>
#include <string>

#include "tests/support/child.h"
#include "tests/support/processes.h"

namespace kiv::testing {

/// `size` bytes that differ from run to run, made fast.
std::string made_content(size_t size);

/// A torrent of made content, content.bin or a `folder` holding it, and its
/// tracker (opentracker, which serves only the torrent its whitelist names)
/// on 127.0.0.1, ended with it. The swarms below add a seeder.
class TrackedTorrent {
 public:
  static constexpr size_t kPiece = 65536;

  const std::string& content() const { return content_; }
  std::string torrent() const { return seed_.path() + "a.torrent"; }
  /// The folder of the torrent, its content and the tracker's whitelist.
  const std::string& folder() const { return seed_.path(); }
  /// The info hash in hex.
  const std::string& hash() const { return hash_; }

 protected:
  TrackedTorrent(size_t size, const std::string& folder);

  const std::string& announce() const { return announce_; }
  /// Waits up to `seconds` for the tracker to count the seeder: a
  /// downloader that announces before it finds nobody for a whole announce
  /// interval.
  void await_seeder(int seconds) const;

 private:
  std::string scrape() const;

  std::string content_;
  int tracker_port_;
  std::string announce_, hash_;
  TempDir seed_;
  std::optional<Running> tracker_;
};

/// A ctorrent seeder on 127.0.0.2 (ctorrent ignores peers on its own
/// address). Ready once the seeder has announced itself.
class Swarm : public TrackedTorrent {
 public:
  explicit Swarm(size_t size);

 private:
  std::optional<Running> seeder_;
};

/// An aria2c seeder on 127.0.0.1, DHT and local discovery off, for magnet
/// links. Ready once the seeder has announced itself.
class Aria2Swarm : public TrackedTorrent {
 public:
  explicit Aria2Swarm(size_t size, const std::string& folder = "");

  std::string magnet() const {
    return "magnet:?xt=urn:btih:" + hash() + "&dn=content.bin&tr=" + announce();
  }

 private:
  std::optional<Running> seeder_;
};

}  // namespace kiv::testing
