#include "common/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "tests/support/child.h"

namespace kiv {
namespace {

using testing::write_text;

/// A TCP socket bound to a free loopback port.
UniqueFd loopback_socket(int& port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("loopback socket");
  port = ntohs(address.sin_port);
  return fd;
}

/// A loopback listener that never accepts: a client's connection completes
/// in the backlog and then waits for an answer that does not come.
class SilentListener {
 public:
  SilentListener() : fd_(loopback_socket(port_)) {
    if (listen(fd_.get(), 4) != 0) throw std::runtime_error("listen");
  }
  int port() const { return port_; }

 private:
  int port_ = 0;
  UniqueFd fd_;
};

int free_port() {
  int port;
  loopback_socket(port);
  return port;
}

/// Starts a program with its output discarded; ended by id in the destructor.
class Running {
 public:
  Running(std::vector<std::string> argv, const std::string& directory) {
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      if (chdir(directory.c_str()) != 0) _exit(126);
      std::vector<char*> args;
      for (std::string& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Running() { end(); }
  std::string pid() const { return std::to_string(pid_); }
  /// Kills the process; it stays a zombie until reaped.
  void kill_only() { kill(pid_, SIGKILL); usleep(100000); }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
};

bool installed(const char* path) { return access(path, X_OK) == 0; }

class TransferPid : public ::testing::Test {
 protected:
  testing::TempDir root_;
  void SetUp() override {
    config().trkdir = root_.path() + "trk/";
    mkdir(config().trkdir.c_str(), 0755);
  }
  void TearDown() override { ASSERT_EQ(chdir("/"), 0); }
  void record(const std::string& first_line) {
    write_text(config().trkdir + "abc123", first_line + "\nsource\n\n");
  }
  /// Waits until /proc shows the program itself (exec is not instant).
  static void wait_for_exec(const Running& process, std::string_view program) {
    for (int i = 0; i < 100; ++i) {
      char target[4096];
      ssize_t n = readlink(("/proc/" + process.pid() + "/exe").c_str(), target, sizeof target);
      if (n > 0 && std::string_view(target, size_t(n)).ends_with(program)) return;
      usleep(20000);
    }
  }
};

TEST_F(TransferPid, RealWget) {
  if (!installed("/usr/bin/wget")) GTEST_SKIP() << "wget is not installed";
  SilentListener listener;
  Running wget({"/usr/bin/wget", "-q", "-O", "/dev/null", "--tries=1",
                "http://127.0.0.1:" + std::to_string(listener.port()) + "/"},
               root_.path());
  wait_for_exec(wget, "/wget");
  record(wget.pid());
  EXPECT_EQ(transfer_pid("abc123.wgt"), wget.pid());
  EXPECT_EQ(transfer_pid("abc123.tor"), "");  // alive, but not ctorrent
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
                    std::to_string(free_port()), dir + "x.torrent"},
                   dir + "dl");
  wait_for_exec(ctorrent, "/ctorrent");
  record(ctorrent.pid());
  EXPECT_EQ(transfer_pid("abc123.tor"), ctorrent.pid());
  EXPECT_EQ(transfer_pid("abc123.wgt"), "");
  ctorrent.end();
  EXPECT_EQ(transfer_pid("abc123.tor"), "");
}

TEST_F(TransferPid, OtherProgramsAndBadRecords) {
  Running sleeper({"/bin/sleep", "30"}, root_.path());
  wait_for_exec(sleeper, "/sleep");
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

TEST_F(TransferPid, UnknownSuffixLeavesTheDirectoryAlone) {
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(transfer_pid("abc123.txt"), "");
  char cwd[4096];
  EXPECT_STREQ(getcwd(cwd, sizeof cwd), "/");
  transfer_pid("abc123.wgt");
  EXPECT_EQ(std::string(getcwd(cwd, sizeof cwd)) + "/", config().trkdir);
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
  for (int i = 0; i < 100 && access(marker.c_str(), F_OK) != 0; ++i) usleep(20000);
  EXPECT_EQ(testing::read_text(marker), "background");
}

}  // namespace
}  // namespace kiv
