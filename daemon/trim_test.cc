#include "daemon/trim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/aria2_state.h"
#include "common/config.h"
#include "tests/support/child.h"

namespace kiv {
namespace {

using testing::read_text;
using testing::TempDir;
using testing::write_text;

TEST(LatestStatus, LastRedrawOfTheLastLine) {
  EXPECT_EQ(latest_status("ader\n 10% ...\r 55% ...\r 99% eta 1s\n"), " 99% eta 1s\n");
  // wget's bar: redraws begin with "\r" and the line has no end yet.
  EXPECT_EQ(latest_status("x\r 1% [=>  ]\r 2% [==> ]"), " 2% [==> ]");
  EXPECT_EQ(latest_status("status one\nstatus two\n"), "status two\n");
}

TEST(LatestStatus, ShortPiecesDoNotCount) {
  // A final redraw under three characters: the one before it, without a line end.
  EXPECT_EQ(latest_status("head\r 20% done\r\n"), " 20% done");
  EXPECT_EQ(latest_status("status line\nk\n"), "status line\n");
  EXPECT_EQ(latest_status("status line\n\n\n"), "status line\n");
  // No line of three characters: the last line, as it is.
  EXPECT_EQ(latest_status("a\nb\n\n"), "\n");
  // A qualifying line whose redraws are all short: the last line stays.
  EXPECT_EQ(latest_status("a\rb\rc\n"), "a\rb\rc\n");
}

TEST(LatestStatus, RegionOfOneLineKeepsItsLastCharacter) {
  std::string region = std::string(kTailRegion - 8, '=') + "\r99% 5s\n";
  ASSERT_EQ(region.size(), kTailRegion);
  EXPECT_EQ(latest_status(region), "99% 5s\n");
  std::string plain(kTailRegion, 'x');
  EXPECT_EQ(latest_status(plain), plain);
}

TEST(KeptHead, FirstLineOrItsCut) {
  EXPECT_EQ(kept_head("-- header --\nrest"), "-- header --\n");
  std::string fits(kMaxHeadLength - 1, 'h');
  EXPECT_EQ(kept_head(fits + "\n"), fits + "\n");
  std::string too_long(kMaxHeadLength, 'h');
  EXPECT_EQ(kept_head(too_long), std::string(kMaxHeadLength - 1, 'h') + "\n");
}

class TrimJobLogs : public ::testing::Test {
 protected:
  void SetUp() override {
    config().trkdir = dir_.path() + "trk/";
    mkdir(config().trkdir.c_str(), 0755);
  }
  std::string trk(const std::string& name) const { return config().trkdir + name; }

  TempDir dir_;
};

TEST_F(TrimJobLogs, SizeLimitIsExact) {
  std::string status = "status line\n";
  std::string body500 = "header\n" + std::string(500 - 7 - status.size() - 1, '.') + "\n" + status;
  ASSERT_EQ(body500.size(), 500u);
  std::string body501 = "header\n" + std::string(501 - 7 - status.size() - 1, '.') + "\n" + status;
  write_text(trk("aaaaaa.wgt"), body500);
  write_text(trk("bbbbbb.tor"), body501);
  trim_job_logs();
  EXPECT_EQ(read_text(trk("aaaaaa.wgt")), body500);
  EXPECT_EQ(read_text(trk("bbbbbb.tor")), "header\nstatus line\n");
}

// The name wget saves to stays: a restart continues that file and no other.
// So does the latest size, or the job's progress reads as of an unknown whole.
TEST_F(TrimJobLogs, WgetLogBecomesHeaderSizeSavedNameAndLastRedraw) {
  std::string log = "--2026-12-08 02:00:00--  http://127.0.0.1/file\n"
                    "Connecting to 127.0.0.1:80... connected.\n"
                    "Length: 20000 (20K)\n"
                    "Saving to: 'file.1'\n\n";
  for (int percent = 0; percent <= 60; ++percent)
    log += "\rfile   " + std::to_string(percent) + "%[=====>   ]  12K  1.0KB/s  eta 9s";
  write_text(trk("cccccc.wgt"), log);
  trim_job_logs();
  std::string trimmed = "--2026-12-08 02:00:00--  http://127.0.0.1/file\n"
                        "Length: 20000 (20K)\n"
                        "Saving to: 'file.1'\n"
                        "file   60%[=====>   ]  12K  1.0KB/s  eta 9s";
  EXPECT_EQ(read_text(trk("cccccc.wgt")), trimmed);
  // Restarted and trimmed again: the lines are kept once, the size the
  // latest run logged.
  write_text(trk("cccccc.wgt"), trimmed + "\n" + log + "\nLength: 30000 (29K), 18000 (18K) remaining\n" +
                                    "Saving to: 'file.1'\n");
  trim_job_logs();
  EXPECT_EQ(read_text(trk("cccccc.wgt")),
            "--2026-12-08 02:00:00--  http://127.0.0.1/file\n"
            "Length: 30000 (29K), 18000 (18K) remaining\nSaving to: 'file.1'\n");
}

TEST_F(TrimJobLogs, Aria2KeepsTheNameOfWhatItFetches) {
  // As aria2c writes it: summaries every few seconds, the metadata first.
  auto summary = [](const std::string& file, const std::string& readout) {
    return " *** Download Progress Summary as of Wed Dec  9 16:08:44 2026 *** \n" +
           std::string(79, '=') + "\n" + readout + "\nFILE: " + file + "\n" +
           std::string(79, '-') + "\n\n" + readout + "\n";
  };
  std::string log = "-- 9/12/2026 16:8:41 --a3663bef59c38b849eeb340d99e91493c6a83c2b\n";
  log += summary("[MEMORY][METADATA]a3663bef59c38b849eeb340d99e91493c6a83c2b",
                 "[#56e04a 0B/0B CN:2 SD:0 DL:0B]");
  log += "\n12/09 16:08:43 [NOTICE] Download complete: [MEMORY][METADATA]a366\n";
  for (int i = 0; i < 5; ++i)
    log += summary("/d/Holiday pack/a.bin (1more)",
                   "[#47c42f " + std::to_string(i) + "000B/299999B(0%) CN:2 SD:1 DL:1000B]");
  write_text(trk("eeeeee.tor"), log);
  trim_job_logs();
  EXPECT_EQ(read_text(trk("eeeeee.tor")),
            "-- 9/12/2026 16:8:41 --a3663bef59c38b849eeb340d99e91493c6a83c2b\n"
            "FILE: /d/Holiday pack/a.bin (1more)\n"
            "[#47c42f 4000B/299999B(0%) CN:2 SD:1 DL:1000B]\n");
  EXPECT_EQ(latest_file_line("x\nFILE: a\nFILE: b"), "FILE: a\n");  // b is not whole yet
}

// A magnet job's files' run stopped by the user, as aria2c logs it: the
// readout its bytes are read from and how it ended lie well before the end.
const std::string kStoppedRun =
    "-- 10/11/2026 6:4:23 --cc903ff255766eed09bd1e4d2e19ff8fbdf65675 content.bin\n\n"
    "12/10 06:04:23 [NOTICE] Downloading 1 item(s)\n\n"
    "12/10 06:04:23 [NOTICE] IPv4 BitTorrent: listening on TCP port 51301\n\n"
    "12/10 06:04:23 [NOTICE] IPv6 BitTorrent: listening on TCP port 51301\n"
    "[#9ca917 0B/600000B(0%) CN:2 SD:0 DL:0B]\n"
    "[#9ca917 16384B/600000B(2%) CN:2 SD:1 DL:16367B ETA:35s]\n"
    " *** Download Progress Summary as of Thu Dec 10 06:04:34 2026 *** \n" +
    std::string(79, '=') +
    "\n[#9ca917 180224B/600000B(30%) CN:1 SD:1 DL:19945B ETA:21s]\n"
    "FILE: /box/dnl//content.bin\n" +
    std::string(79, '-') +
    "\n\n[#9ca917 180224B/600000B(30%) CN:1 SD:1 DL:19945B ETA:21s]\n"
    "[#9ca917 196608B/600000B(32%) CN:1 SD:1 DL:19817B ETA:20s]\n\n"
    "12/10 06:04:35 [NOTICE] Emergency shutdown sequence commencing...\n\n"
    "12/10 06:04:35 [NOTICE] Download GID#9ca9177de0ef77f1 not complete: "
    "/box/dnl//content.bin\n\n"
    "Download Results:\n"
    "gid   |stat|avg speed  |path/URI\n"
    "======+====+===========+" + std::string(55, '=') + "\n"
    "9ca917|INPR|    17KiB/s|/box/dnl//content.bin\n\n"
    "Status Legend:\n"
    "(INPR):download in-progress.\n\n"
    "aria2 will resume download if the transfer is restarted.\n"
    "If there are any errors, then see the log file. See '-l' option in help/man page for "
    "details.\n";

// Trimmed, a magnet job's log reads as it did: bytes done, size, how it
// ended and why, the torrent fetched, the seeding over.
TEST_F(TrimJobLogs, Aria2LogsReadAsBefore) {
  const std::string fixtures = std::string(KIV_SOURCE_DIR) + "/common/job_logs/";
  const std::pair<const char*, std::string> logs[] = {
      {"stopped files' run", kStoppedRun},
      {"running", read_text(fixtures + "magnet-running.tor")},
      {"stopped", read_text(fixtures + "magnet-stopped.tor")},
      {"finished", read_text(fixtures + "magnet-finished.tor")},
      {"failed", read_text(fixtures + "magnet-failed.tor")},
  };
  JobRecord record{"", "magnet:?xt=urn:btih:cc903ff255766eed09bd1e4d2e19ff8fbdf65675", "", ""};
  write_text(trk("gggggg"), record_text(record));
  auto read = [&](bool running) {
    LogEnds ends = read_log_ends(trk("gggggg.tor"));
    JobView job{record, running, ends.head, ends.tail};
    JobState s = aria2_state(job);
    return std::tuple(phase_name(s.phase), s.name, s.done, s.size, s.down, s.reason,
                      aria2_torrent_fetched(job), aria2_seeding_over(job));
  };
  for (const auto& [what, log] : logs) {
    write_text(trk("gggggg.tor"), log);
    auto stopped = read(false), running = read(true);
    trim_job_logs();
    EXPECT_LT(read_text(trk("gggggg.tor")).size(), log.size()) << what;
    EXPECT_EQ(read(false), stopped) << what << ":\n" << read_text(trk("gggggg.tor"));
    EXPECT_EQ(read(true), running) << what << ":\n" << read_text(trk("gggggg.tor"));
  }
  write_text(trk("gggggg.tor"), kStoppedRun);
  trim_job_logs();
  EXPECT_EQ(read_text(trk("gggggg.tor")),
            "-- 10/11/2026 6:4:23 --cc903ff255766eed09bd1e4d2e19ff8fbdf65675 content.bin\n"
            "FILE: /box/dnl//content.bin\n"
            "[#9ca917 196608B/600000B(32%) CN:1 SD:1 DL:19817B ETA:20s]\n"
            "gid   |stat|avg speed  |path/URI\n"
            "9ca917|INPR|    17KiB/s|/box/dnl//content.bin\n"
            "If there are any errors, then see the log file. See '-l' option in help/man page "
            "for details.\n");
}

TEST_F(TrimJobLogs, LongFirstLineStaysALineOfItsOwn) {
  std::string log = std::string(600, 'A') + "\nmiddle\nstatus line\n";
  write_text(trk("dddddd.tor"), log);
  trim_job_logs();
  std::string trimmed = std::string(kMaxHeadLength - 1, 'A') + "\nstatus line\n";
  EXPECT_EQ(read_text(trk("dddddd.tor")), trimmed);
  trim_job_logs();  // still above the limit, but nothing shorter to make of it
  EXPECT_EQ(read_text(trk("dddddd.tor")), trimmed);
}

TEST_F(TrimJobLogs, OnlyTransferLogsAreTouched) {
  std::string long_text = "line one\n" + std::string(700, 'x') + "\nlast line\n";
  for (const char* name : {"eeeeee", "eeeeee.bf", ".htpasswd", "amule.amu", "_wversion.nfo",
                           "x.torrent", "x.wgt.bak"})
    write_text(trk(name), long_text);
  std::string outside = dir_.path() + "outside.txt";
  write_text(outside, long_text);
  ASSERT_EQ(symlink(outside.c_str(), trk("link.wgt").c_str()), 0);
  // A hard link planted in the job directory names the same file as its
  // other name elsewhere.
  std::string linked = dir_.path() + "linked.txt";
  write_text(linked, long_text);
  ASSERT_EQ(link(linked.c_str(), trk("hard.tor").c_str()), 0);
  trim_job_logs();
  EXPECT_EQ(read_text(linked), long_text);
  for (const char* name : {"eeeeee", "eeeeee.bf", ".htpasswd", "amule.amu", "_wversion.nfo",
                           "x.torrent", "x.wgt.bak"})
    EXPECT_EQ(read_text(trk(name)), long_text) << name;
  EXPECT_EQ(read_text(outside), long_text);
}

TEST_F(TrimJobLogs, AppendingTransferKeepsWritingToTheSameFile) {
  std::string log = "-- 8/11/2026 2:0:0 --a.torrent\n";
  for (int i = 0; i < 40; ++i) log += "\n/ 0/0/1 [0/10/10] 0MB,0MB | 0,0K/s | 0,0K E:0";
  write_text(trk("ffffff.tor"), log);
  // As the shell's ">>" opens it for ctorrent.
  int appender = open(trk("ffffff.tor").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(appender, 0);
  struct stat before;
  ASSERT_EQ(stat(trk("ffffff.tor").c_str(), &before), 0);
  trim_job_logs();
  ASSERT_EQ(write(appender, "\nnext status", 12), 12);
  close(appender);
  struct stat after;
  ASSERT_EQ(stat(trk("ffffff.tor").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(read_text(trk("ffffff.tor")),
            "-- 8/11/2026 2:0:0 --a.torrent\n/ 0/0/1 [0/10/10] 0MB,0MB | 0,0K/s | 0,0K E:0"
            "\nnext status");
}

TEST_F(TrimJobLogs, MissingJobDirectoryIsCreatedReadableByAll) {
  rmdir(config().trkdir.c_str());
  umask(0);
  trim_job_logs();
  umask(022);
  struct stat st;
  ASSERT_EQ(stat(config().trkdir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

}  // namespace
}  // namespace kiv
