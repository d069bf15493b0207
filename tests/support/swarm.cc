#include "tests/support/swarm.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/info_hash.h"

namespace kiv::testing {

std::string made_content(size_t size) {
  std::string data(size, '\0');
  unsigned state = unsigned(getpid()) * 2654435761u;
  for (char& c : data) c = char((state = state * 1103515245u + 12345u) >> 16);
  return data;
}

TrackedTorrent::TrackedTorrent(size_t size, const std::string& folder)
    : content_(made_content(size)), tracker_port_(free_port()) {
  const std::string& dir = seed_.path();
  if (!folder.empty()) mkdir((dir + folder).c_str(), 0755);
  std::string shared = folder.empty() ? "content.bin" : folder;
  write_text(dir + (folder.empty() ? "" : folder + "/") + "content.bin", content_);
  std::string tracker = std::to_string(tracker_port_);
  announce_ = "http://127.0.0.1:" + tracker + "/announce";
  ChildResult made = run_program({"/usr/bin/ctorrent", "-t", "-u", announce_, "-l",
                                  std::to_string(kPiece), "-s", dir + "a.torrent", dir + shared},
                                 {});
  EXPECT_EQ(made.exit_code(), 0) << made.out;
  hash_ = torrent_info_hash(read_text(dir + "a.torrent")).value_or("");
  write_text(dir + "whitelist", hash_ + "\n");
  // The tracker reads its whitelist after it has become "nobody".
  chmod(dir.c_str(), 0755);
  tracker_.emplace(std::vector<std::string>{"/usr/bin/opentracker", "-i", "127.0.0.1", "-p",
                                            tracker, "-P", tracker, "-w", "whitelist", "-d", dir},
                   dir);
  EXPECT_TRUE(eventually([&] { return accepts_connections(tracker_port_); })) << "no tracker";
}

void TrackedTorrent::await_seeder(int seconds) const {
  auto counted = [&] { return scrape().find("completei1e") != std::string::npos; };
  EXPECT_TRUE(eventually(counted, seconds)) << "the seeder never announced: " << scrape();
}

std::string TrackedTorrent::scrape() const {
  std::string escaped;
  for (size_t at = 0; at < hash_.size(); at += 2) escaped += "%" + hash_.substr(at, 2);
  return run_program({"/usr/bin/wget", "-q", "-O", "-", "--tries=1",
                      "http://127.0.0.1:" + std::to_string(tracker_port_) +
                          "/scrape?info_hash=" + escaped},
                     {})
      .out;
}

Swarm::Swarm(size_t size) : TrackedTorrent(size, "") {
  seeder_.emplace(std::vector<std::string>{"/usr/bin/ctorrent", "-i", "127.0.0.2", "-I",
                                           "127.0.0.2", "-p", std::to_string(free_port()), "-e",
                                           "1", "a.torrent"},
                  folder());
  await_seeder(10);
}

Aria2Swarm::Aria2Swarm(size_t size, const std::string& folder)
    : TrackedTorrent(size, folder) {
  seeder_.emplace(std::vector<std::string>{"/usr/bin/aria2c", "--no-conf", "--enable-dht=false",
                                           "--enable-dht6=false", "--bt-enable-lpd=false",
                                           "--interface=127.0.0.1", "-V", "--seed-ratio=0",
                                           "--listen-port=" + std::to_string(free_port()),
                                           "--dir=" + this->folder(), torrent()},
                  this->folder());
  await_seeder(30);
}

}  // namespace kiv::testing
