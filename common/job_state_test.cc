#include "common/job_state.h"

#include <gtest/gtest.h>

#include "common/aria2_state.h"
#include "common/ctorrent_state.h"
#include "common/wget_state.h"

namespace kiv {
namespace {

// Logs recorded from real runs on loopback: wget against a local HTTP
// server (300 KB/s limit, stopped, restarted, a 404, a refused
// connection), ctorrent against a local tracker and seeder (running under
// a limit, stopped, finished with -e 0, seeding, a torrent that is none).
const std::string kLogs = std::string(KIV_SOURCE_DIR) + "/common/job_logs/";

struct Case {
  std::string log;
  bool running;
  std::string source;  // the record's second line
  std::string name;
  JobPhase phase;
  long long done, size, down, up;
  std::optional<int> peers, seeds;
  std::string reason;
};

void check(const Case& c, StateReader read) {
  LogEnds ends = read_log_ends(kLogs + c.log);
  ASSERT_FALSE(ends.tail.empty()) << c.log;
  JobRecord record{"123", c.source, "", std::nullopt};
  JobState state = read({record, c.running, ends.head, ends.tail});
  std::string what = c.log + (c.running ? " running" : " ended");
  EXPECT_EQ(state.name, c.name) << what;
  EXPECT_EQ(phase_name(state.phase), phase_name(c.phase)) << what;
  EXPECT_EQ(state.done, c.done) << what;
  EXPECT_EQ(state.size, c.size) << what;
  EXPECT_EQ(state.down, c.down) << what;
  EXPECT_EQ(state.up, c.up) << what;
  EXPECT_EQ(state.peers, c.peers) << what;
  EXPECT_EQ(state.seeds, c.seeds) << what;
  EXPECT_EQ(state.reason, c.reason) << what;
}

TEST(JobState, WgetLogs) {
  const std::string big = "http://127.0.0.1:8099/big.bin";
  const long long at_42 = 1048576 + 22 * 1048576 / 100;  // "1.22M"
  const Case cases[] = {
      {"partial.wgt", true, big, "big.bin", JobPhase::running, at_42, 3000000, 300 * 1024, 0, {}, {}, ""},
      {"partial.wgt", false, big, "big.bin", JobPhase::stopped, at_42, 3000000, 0, 0, {}, {}, ""},
      // Past the tail's reach of the first run: its length from the head.
      {"restarted-finished.wgt", false, big, "big.bin", JobPhase::finished, 3000000, 3000000, 0, 0, {}, {}, ""},
      {"finished.wgt", false, "http://127.0.0.1:8099/small.bin?x=1&y=%20", "small.bin",
       JobPhase::finished, 20000, 20000, 0, 0, {}, {}, ""},
      {"failed-404.wgt", false, "http://127.0.0.1:8099/missing%20file.iso", "missing file.iso",
       JobPhase::failed, 0, -1, 0, 0, {}, {}, "ERROR 404: File not found."},
      {"failed-refused.wgt", false, "http://127.0.0.1:8098/x.bin", "x.bin", JobPhase::failed, 0,
       -1, 0, 0, {}, {}, "Connecting to 127.0.0.1:8098... failed: Connection refused."},
      // Still trying: no failure while it runs.
      {"failed-refused.wgt", true, "http://127.0.0.1:8098/", "http://127.0.0.1:8098/",
       JobPhase::running, 0, -1, 0, 0, {}, {}, ""},
  };
  for (const Case& c : cases) check(c, wget_state);
}

TEST(JobState, CtorrentLogs) {
  const std::string torrent = "/srv/dnl/sub/a.torrent";
  const Case cases[] = {
      {"running.tor", true, torrent, "content.bin", JobPhase::running, 11 * 65536, 1500000,
       97 * 1024, 0, 0, 1, ""},
      {"stopped.tor", false, torrent, "content.bin", JobPhase::stopped, 12 * 65536, 1500000, 0,
       0, 0, 0, ""},
      {"seeding.tor", true, torrent, "content.bin", JobPhase::seeding, 1500000, 1500000, 0, 0, 0, 0, ""},
      {"finished.tor", false, torrent, "content.bin", JobPhase::finished, 1500000, 1500000, 0, 0,
       0, 0, ""},
      {"failed.tor", false, "/srv/dnl/bad.torrent", "bad.torrent", JobPhase::failed, 0, -1, 0, 0,
       0, 0, "error, initial meta info failed."},
  };
  for (const Case& c : cases) check(c, ctorrent_state);
}

TEST(JobState, CtorrentLayoutOfSeveralFiles) {
  // As ctorrent lists a torrent of a folder; the list cut off before its
  // "Total:" line leaves the size to the pieces.
  std::string head =
      "-- 9/11/2026 16:10:00 --m.torrent\nMETA INFO\nPiece length: 262144\nFILES INFO\n"
      "Directory: Holiday pack\n<1>  a.jpg [1000]\n<2>  sub/b [x].jpg [70000]\nTotal: 0 MB\n";
  std::string tail = "| 2/3/0 [1/1/1] 0MB,0MB | 0,5K/s | 0,5K E:0,1";
  JobRecord record{"1", "/d/m.torrent", "", std::nullopt};
  JobState state = ctorrent_state({record, true, head, head + tail});
  EXPECT_EQ(state.name, "Holiday pack");
  EXPECT_EQ(state.size, 71000);
  EXPECT_EQ(state.done, 71000);
  EXPECT_EQ(phase_name(state.phase), "seeding");
  EXPECT_EQ(state.up, 5 * 1024);
  EXPECT_EQ(state.peers, 3);
  EXPECT_EQ(state.seeds, 2);
  head.resize(head.find("<2>"));
  state = ctorrent_state({record, false, head, tail});
  EXPECT_EQ(state.size, 262144);
  EXPECT_EQ(phase_name(state.phase), "finished");
}

// Ends the readers once got wrong: a finish without a readout of the
// size or a status line of the default format, an error line after every
// piece was in, figures no transfer reaches.
TEST(JobState, EndsWithoutTheUsualLines) {
  const std::string link = "magnet:?xt=urn:btih:fbdd8c1399371efcc3fcb9bdc0f80687644eec17";
  const std::string table = "\ngid   |stat|avg speed  |path/URI\n0a1b2c|OK  |   0B/s|/d/x\n";
  const std::string in = "-- --hash\n[NOTICE] Download complete: [MEMORY][METADATA]x\n";
  const std::string files = "FILES INFO\n<1> x.bin [1500000]\nTotal: 1 MB\n";
  struct Ending {
    std::string source, log;
    JobPhase phase;
    long long done, size;
    int peers;
    std::string reason;
  } endings[] = {
      {link, in + table, JobPhase::finished, 0, -1, 0, ""},
      {link, in + "[#a 272B/100B CN:1 SD:0]\n", JobPhase::stopped, 100, 100, 1, ""},
      {link, in + "[#a 1B/2B CN:2147483648 SD:2147483648]\n", JobPhase::stopped, 1, 2, 0, ""},
      {"/d/x.torrent", files + "- S:0/0 L:0/0 C:0\nDownload complete.\nerror: tracker\n",
       JobPhase::finished, 1500000, 1500000, 0, ""},
      {"/d/x.torrent", "Piece length: 4611686018427387904\n" + files +
       "/ 0/0/0 [4611686018427387904/4/4] 0MB,0MB | 0,0K/s | 0,0K E:0,0\n",
       JobPhase::stopped, 0, 1500000, 0, ""},
  };
  for (const Ending& e : endings) {
    JobRecord record{"1", e.source, "", std::nullopt};
    JobState state = torrent_job_state({record, false, e.log, e.log});
    EXPECT_EQ(phase_name(state.phase), phase_name(e.phase)) << e.log;
    EXPECT_EQ(state.done, e.done) << e.log;
    EXPECT_EQ(state.size, e.size) << e.log;
    EXPECT_EQ(state.peers, e.peers) << e.log;
    EXPECT_EQ(state.reason, e.reason) << e.log;
  }
  JobRecord record{"1", "http://h/x", "", std::nullopt};
  EXPECT_EQ(wget_state({record, false, "Length: -9\n", "Length: -9\n"}).size, -1);
}

// aria2c fetching a magnet link's torrent and content from a loopback
// seeder (stopped at 89 %, restarted, seeded, ended), and failing to
// connect.
TEST(JobState, Aria2Logs) {
  const std::string hash = "fbdd8c1399371efcc3fcb9bdc0f80687644eec17";
  const std::string link = "magnet:?xt=urn:btih:" + hash;
  const Case cases[] = {
      {"magnet-metadata.tor", true, link, hash, JobPhase::metadata, 0, -1, 0, 0, 2, 0, ""},
      {"magnet-running.tor", true, link, "content.bin", JobPhase::running, 485312, 600000, 47080, 0, 0, 1, ""},
      // Killed: no results table.
      {"magnet-running.tor", false, link, "content.bin", JobPhase::stopped, 485312, 600000, 0, 0, 0, 1, ""},
      {"magnet-stopped.tor", false, link, "content.bin", JobPhase::stopped, 534464, 600000, 0, 0, 0, 1, ""},
      {"magnet-finished.tor", true, link, "content.bin", JobPhase::seeding, 600000, 600000, 0, 0, 0, 1, ""},
      {"magnet-finished.tor", false, link, "content.bin", JobPhase::finished, 600000, 600000, 0, 0, 0, 1, ""},
      {"magnet-failed.tor", false, link, "0123456789abcdef0123456789abcdef01234567", JobPhase::failed, 0, -1, 0, 0, 0, 0,
       "Failed to establish connection, cause: Connection refused"},
  };
  for (const Case& c : cases) check(c, torrent_job_state);
}

// A magnet job's two runs: the torrent fetched alone (due for its files'
// run), that run named by its first line, and the torrent refused.
TEST(JobState, MagnetRuns) {
  const std::string hash = "fbdd8c1399371efcc3fcb9bdc0f80687644eec17";
  const std::string first = "-- 9/12/2026 23:0:1 --" + hash;
  const std::string fetched = first + "\n[NOTICE] Download complete: [MEMORY][METADATA]x\n"
      "gid   |stat|avg speed  |path/URI\n"
      "2d84a9|OK  |       0B/s|[MEMORY][METADATA]x\n";
  const std::string refused = "-- refused --This torrent would write outside its folder: x/a";
  struct Run {
    std::string log;
    bool running;
    JobPhase phase;
    std::string name, reason;
    bool due;
  } runs[] = {
      {fetched, false, JobPhase::stopped, "x", "", true},
      {fetched + refused + "\n", false, JobPhase::failed, "x", refused.substr(13), false},
      {first + " Holiday -- pack\n[#a 1B/2B CN:1 SD:0]\n", true, JobPhase::running,
       "Holiday -- pack", "", false},
      {first + "\n[#a 0B/0B CN:1 SD:0]\n", true, JobPhase::metadata, hash, "", false},
  };
  for (const Run& r : runs) {
    JobRecord record{"1", "magnet:?xt=urn:btih:" + hash, "", std::nullopt};
    JobView view{record, r.running, r.log, r.log};
    JobState state = aria2_state(view);
    EXPECT_EQ(phase_name(state.phase), phase_name(r.phase)) << r.log;
    EXPECT_EQ(state.name, r.name) << r.log;
    EXPECT_EQ(state.reason, r.reason) << r.log;
    EXPECT_EQ(aria2_torrent_fetched(view), r.due) << r.log;
  }
}

TEST(JobState, UnitBytes) {
  const std::pair<std::string_view, std::optional<long long>> cases[] = {
      {"0", 0}, {"12345", 12345}, {"64.00K", 65536}, {"1006K", 1006 * 1024},
      {"1.5M", 1572864}, {"2G", 2LL << 30}, {"", std::nullopt}, {"K", std::nullopt},
      {"1.234M", std::nullopt}, {"-1", std::nullopt}, {"1e9", std::nullopt},
      {"99999999999999999999K", std::nullopt},
  };
  for (auto [figure, bytes] : cases) EXPECT_EQ(unit_bytes(figure), bytes) << figure;
}

}  // namespace
}  // namespace kiv
