#include "common/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "common/shell.h"
#include "tests/support/child.h"
#include "tests/support/processes.h"

namespace kiv {
namespace {

using testing::write_text;

using testing::Running;
using testing::SilentListener;
using testing::free_port;

bool installed(const char* path) { return access(path, X_OK) == 0; }

class TransferPid : public ::testing::Test {
 protected:
  testing::TempDir root_;
  void SetUp() override {
    config() = Config{};  // the bare program names
    config().trkdir = root_.path() + "trk/";
    mkdir(config().trkdir.c_str(), 0755);
  }
  void TearDown() override { ASSERT_EQ(chdir("/"), 0); }
  void record(const std::string& first_line) {
    write_text(config().trkdir + "abc123", first_line + "\nsource\n\n");
  }
  /// Waits until /proc shows the program itself (exec is not instant).
};

TEST_F(TransferPid, RealWget) {
  if (!installed("/usr/bin/wget")) GTEST_SKIP() << "wget is not installed";
  SilentListener listener;
  Running wget(testing::waiting_wget(listener, config().trkdir + "abc123.wgt"), root_.path());
  wget.wait_for_exec("/wget");
  // Another wget (a user's own), and one of another job.
  Running other(testing::waiting_wget(listener), root_.path());
  Running another(testing::waiting_wget(listener, config().trkdir + "xyz789.wgt"), root_.path());
  other.wait_for_exec("/wget");
  another.wait_for_exec("/wget");
  for (const Running* foreign : {&other, &another}) {
    record(foreign->pid());
    EXPECT_EQ(transfer_pid("abc123.wgt"), "");
  }
  record(wget.pid());
  EXPECT_EQ(transfer_pid("abc123.wgt"), wget.pid());
  EXPECT_EQ(transfer_pid("abc123.tor"), "");  // alive, but not ctorrent
  config().wget = "/bin/true";                // not the configured program
  EXPECT_EQ(transfer_pid("abc123.wgt"), "");
  config().wget = "/usr/bin/wget";
  EXPECT_EQ(transfer_pid("abc123.wgt"), wget.pid());
  wget.kill_only();
  EXPECT_EQ(transfer_pid("abc123.wgt"), "");  // a zombie is not running
  wget.end();
  EXPECT_EQ(transfer_pid("abc123.wgt"), "");
}

TEST_F(TransferPid, RealCtorrent) {
  if (!installed("/usr/bin/ctorrent")) GTEST_SKIP() << "ctorrent is not installed";
  std::string dir = root_.path();
  write_text(dir + "data.bin", std::string(50000, 'd'));
  ASSERT_EQ(system(("cd " + dir + " && ctorrent -t -u http://127.0.0.1:1/announce "
                    "-s x.torrent data.bin >/dev/null 2>&1").c_str()), 0);
  mkdir((dir + "dl").c_str(), 0755);
  // Loopback only: ctorrent listens on every address unless told.
  Running ctorrent({"/usr/bin/ctorrent", "-i", "127.0.0.1", "-I", "127.0.0.1", "-p",
                    std::to_string(free_port()), "-b", config().trkdir + "abc123.bf",
                    dir + "x.torrent"},
                   dir + "dl");
  ctorrent.wait_for_exec("/ctorrent");
  record(ctorrent.pid());
  EXPECT_EQ(transfer_pid("abc123.tor"), ctorrent.pid());
  EXPECT_EQ(transfer_pid("abc123.wgt"), "");
  EXPECT_EQ(transfer_pid("abc123.torrent"), "");  // the job's torrent, no log
  write_text(config().trkdir + "xyz789", ctorrent.pid() + "\n");
  EXPECT_EQ(transfer_pid("xyz789.tor"), "");  // another job's
  ctorrent.end();
  EXPECT_EQ(transfer_pid("abc123.tor"), "");
}

TEST_F(TransferPid, OtherProgramsAndBadRecords) {
  Running sleeper({"/bin/sleep", "30"}, root_.path());
  sleeper.wait_for_exec("/sleep");
  record(sleeper.pid());
  EXPECT_EQ(transfer_pid("abc123.wgt"), "");
  EXPECT_EQ(transfer_pid("abc123.tor"), "");

  // Never a path or a special name under /proc, and never 0 (a caller
  // signals the number it gets back).
  for (std::string line : {"self", "0", "", "1/task/1", "-1", " 1"}) {
    record(line);
    EXPECT_EQ(transfer_pid("abc123.wgt"), "") << line;
  }
  unlink((config().trkdir + "abc123").c_str());
  EXPECT_EQ(transfer_pid("abc123.wgt"), "");
}

TEST_F(TransferPid, LeavesTheWorkingDirectoryAlone) {
  ASSERT_EQ(chdir("/"), 0);
  char cwd[4096];
  for (const char* name : {"abc123.txt", "abc123.wgt", "abc123.tor"}) {
    EXPECT_EQ(transfer_pid(name), "");
    EXPECT_STREQ(getcwd(cwd, sizeof cwd), "/") << name;
  }
}

// A start returns with the program itself running, not the shell's copy
// that is about to become it; with its process gone, at once.
TEST(AwaitProgramStart, ReturnsOnceTheProgramRuns) {
  for (int round = 0; round < 20; ++round) {
    std::string pid = run_shell("/bin/sleep 30 </dev/null >/dev/null 2>&1 & echo -n $!");
    ASSERT_GT(std::stoi(pid), 0) << pid;
    await_program_start(pid);
    EXPECT_EQ(testing::program_of(pid), "sleep") << round;
    kill(std::stoi(pid), SIGKILL);
    waitpid(std::stoi(pid), nullptr, 0);
    await_program_start(pid);
  }
}

TEST(BackgroundFork, DetachesAtOnce) {
  testing::TempDir dir;
  std::string marker = dir.path() + "marker";
  auto result = testing::run_in_child([&] {
    int r = background_fork();
    if (r == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      usleep(300000);
      write_text(marker, "background");
      _exit(0);
    }
    // The caller is back before the background process is done.
    printf("%d %d", r, access(marker.c_str(), F_OK) == 0);
  });
  EXPECT_EQ(result.out, "1 0");
  // The marker is created before it is written: wait for its words.
  EXPECT_TRUE(testing::eventually([&] { return testing::read_text(marker) == "background"; }))
      << testing::read_text(marker);
}

}  // namespace
}  // namespace kiv
