#include "tests/support/swarm.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kiv::testing {
namespace {

std::string made_content(size_t size) {
  std::string data(size, '\0');
  unsigned state = unsigned(getpid()) * 2654435761u;
  for (char& c : data) c = char((state = state * 1103515245u + 12345u) >> 16);
  return data;
}

}  // namespace

Swarm::Swarm(size_t size)
    : content_(made_content(size)), tracker_port_(free_port()), seeder_port_(free_port()) {
  const std::string& dir = seed_.path();
  write_text(dir + "content.bin", content_);
  std::string announce = "http://127.0.0.1:" + std::to_string(tracker_port_) + "/announce";
  ChildResult made = run_program({"/usr/bin/ctorrent", "-t", "-u", announce, "-l",
                                  std::to_string(kPiece), "-s", dir + "a.torrent",
                                  dir + "content.bin"},
                                 {});
  EXPECT_EQ(made.exit_code(), 0) << made.out;
  std::string hashes = run_program(
      {"/usr/bin/python3", "-c",
       "import hashlib,sys\n"
       "d=open(sys.argv[1],'rb').read(); i=d.index(b'4:info')+6\n"
       "h=hashlib.sha1(d[i:-1]).digest()\n"
       "print(h.hex()); print(''.join('%%%02x' % b for b in h))",
       dir + "a.torrent"},
      {}).out;
  size_t end = hashes.find('\n');
  write_text(dir + "whitelist", hashes.substr(0, end + 1));
  escaped_hash_ = end == std::string::npos ? "" : hashes.substr(end + 1, hashes.find('\n', end + 1) - end - 1);
  // The tracker reads its whitelist after it has become "nobody".
  chmod(dir.c_str(), 0755);
  std::string tracker = std::to_string(tracker_port_);
  tracker_.emplace(std::vector<std::string>{"/usr/bin/opentracker", "-i", "127.0.0.1", "-p",
                                            tracker, "-P", tracker, "-w", "whitelist", "-d", dir},
                   dir);
  EXPECT_TRUE(eventually([&] { return accepts_connections(tracker_port_); })) << "no tracker";
  seeder_.emplace(std::vector<std::string>{"/usr/bin/ctorrent", "-i", "127.0.0.2", "-I",
                                           "127.0.0.2", "-p", std::to_string(seeder_port_), "-e",
                                           "1", "a.torrent"},
                  dir);
  // A downloader that announces before the seeder finds nobody for a whole
  // announce interval.
  EXPECT_TRUE(eventually([&] { return scrape().find("completei1e") != std::string::npos; }))
      << "the seeder never announced: " << scrape();
}

std::string Swarm::scrape() const {
  return run_program({"/usr/bin/wget", "-q", "-O", "-", "--tries=1",
                      "http://127.0.0.1:" + std::to_string(tracker_port_) +
                          "/scrape?info_hash=" + escaped_hash_},
                     {})
      .out;
}

}  // namespace kiv::testing
