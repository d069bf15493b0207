// kivd as it is started by hand: banner, published configuration, the
// detached daemon and its first worker, and its system-log lines.
#include <climits>
#include <dirent.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/installation.h"
#include "tests/support/processes.h"
#include "tests/support/programs.h"

namespace kiv::testing {
namespace {

/// An installation with kivd copied into its programs directory; every
/// process of that copy is killed by its id at the end, whatever happened.
class Daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    copy_program("daemon/kivd", kivd());
    write_text(inst_.root() + "kiv.conf", "# defaults\n");
  }
  void TearDown() override { end_processes_running(kivd()); }

  std::string kivd() const { return inst_.root() + "bin/kivd"; }
  ChildResult start() const { return run_program(program_command(kivd()), {"PATH=/usr/bin:/bin"}); }
  bool running() const { return !processes_running(kivd()).empty(); }

  Installation inst_;
};

TEST_F(Daemon, StarterPrintsBannerAndLeavesADaemon) {
  ChildResult result = start();
  EXPECT_EQ(result.exit_code(), 0);
  std::vector<std::string> lines;
  for (size_t at = 0; at < result.out.size();) {
    size_t end = result.out.find('\n', at);
    if (end == std::string::npos) end = result.out.size();
    lines.push_back(result.out.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 7u) << result.out;
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], std::string(33, '*'));
  EXPECT_EQ(lines[2], "kiv 0.4.0");
  EXPECT_FALSE(lines[3].empty());
  EXPECT_FALSE(lines[4].empty());
  EXPECT_EQ(lines[5], std::string(33, '*'));
  EXPECT_EQ(lines[6], "kiv forking to background: bye...");
  EXPECT_TRUE(result.out.ends_with("\n"));

  EXPECT_TRUE(eventually([&] { return running(); }));
  const std::string& r = inst_.root();
  EXPECT_TRUE(eventually([&] {
    return read_text("/tmp/kiv.conf") ==
           "droo=" + r + "\ndbin=" + r + "bin/\nwget=wget\nctor=ctorrent\ndwww=" + r +
               "www/kiv/\ndufb=" + r + "www/kivfb/\ndnldir=" + r + "www/kiv/dnl/\npidfile=" + r +
               "bin/kiv.pid\n";
  }));
}

TEST_F(Daemon, FirstWorkerTrimsAtOnce) {
  std::string log = "-- 8/11/2026 2:0:0 --a.torrent\n";
  for (int i = 0; i < 30; ++i) log += "\n| 0/0/1 [" + std::to_string(i) + "/10] 0MB";
  write_text(inst_.trkdir() + "qwerty.tor", log);
  ASSERT_EQ(start().exit_code(), 0);
  EXPECT_TRUE(eventually([&] {
    return read_text(inst_.trkdir() + "qwerty.tor") ==
           "-- 8/11/2026 2:0:0 --a.torrent\n| 0/0/1 [29/10] 0MB";
  }));
}

TEST_F(Daemon, WorkerMakesAMissingJobDirectory) {
  std::filesystem::remove_all(inst_.trkdir());
  ASSERT_EQ(start().exit_code(), 0);
  struct stat st;
  EXPECT_TRUE(eventually([&] { return stat(inst_.trkdir().c_str(), &st) == 0; }));
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(Daemon, ConfigurationIsCheckedBeforeTheStarterLeaves) {
  struct Case {
    std::string conf;
    std::string error;  // "" when kivd starts
  } cases[] = {
      {"colour=red\n", "line 1: Unknown config option 'colour'"},
      {"# names\nhosts=nas.lan\n\nwget dnldir=/d/\n", "line 4: quondel: value required for wget option"},
      {"dnldir=dl/\n", "line 1: Value of dnldir is not an absolute path: 'dl/'"},
      {"hosts=nas.lan, media.lan\nHOSTS= nas.lan ,media.lan , box.lan # blanks\n", ""},
  };
  for (const Case& c : cases) {
    write_text(inst_.root() + "kiv.conf", c.conf);
    std::string published = read_text("/tmp/kiv.conf");
    ChildResult result = start();
    if (c.error.empty()) {
      EXPECT_EQ(result.exit_code(), 0) << result.err;
      EXPECT_TRUE(result.out.ends_with("kiv forking to background: bye...\n"));
      EXPECT_TRUE(read_text("/tmp/kiv.conf").ends_with("\nhosts=nas.lan,media.lan,box.lan\n"));
      continue;
    }
    EXPECT_EQ(result.exit_code(), 1) << c.conf;
    EXPECT_EQ(result.out, "") << c.conf;
    EXPECT_EQ(result.err, inst_.root() + "kiv.conf " + c.error + "\n");
    EXPECT_FALSE(running());
    EXPECT_EQ(read_text("/tmp/kiv.conf"), published);
  }
}

TEST_F(Daemon, PidFileAndARemovedCopyRestored) {
  ASSERT_EQ(start().exit_code(), 0);
  std::string copy;
  ASSERT_TRUE(eventually([&] { return !(copy = read_text("/tmp/kiv.conf")).empty(); }));
  std::string pidfile = inst_.root() + "bin/kiv.pid";
  ASSERT_TRUE(eventually([&] { return !read_text(pidfile).empty(); }));
  // The daemon's number: what remains once the first worker has ended.
  EXPECT_TRUE(eventually([&] {
    std::vector<pid_t> pids = processes_running(kivd());
    return pids.size() == 1 && read_text(pidfile) == std::to_string(pids[0]) + "\n";
  })) << read_text(pidfile);

  // A cleaner of /tmp takes it: published again, long before the next pass.
  ASSERT_EQ(unlink("/tmp/kiv.conf"), 0);
  EXPECT_TRUE(eventually([&] { return read_text("/tmp/kiv.conf") == copy; }));
}

TEST_F(Daemon, NamesPublishedAgainFromItsOwnConfiguration) {
  write_text(inst_.root() + "kiv.conf", "hosts=media.lan\n");
  ASSERT_EQ(start().exit_code(), 0);
  std::string names;
  ASSERT_TRUE(eventually([&] { return (names = read_text("/tmp/kiv-names")).ends_with("\nmedia.lan\n"); }))
      << names;
  ASSERT_TRUE(eventually([&] { return running(); }));
  // A name added by hand is gone with the next publication, which a
  // removal brings at once (a removed names file left the web server
  // refusing the box's own names).
  write_text("/tmp/kiv-names", names + "evil.example\n");
  ASSERT_EQ(unlink("/tmp/kiv-names"), 0);
  EXPECT_TRUE(eventually([&] { return read_text("/tmp/kiv-names") == names; }))
      << read_text("/tmp/kiv-names");
}

TEST_F(Daemon, DownloadFolderIsOpenToAllWhateverTheStartersUmask) {
  std::filesystem::remove_all(inst_.dnldir());
  mode_t mask = umask(077);
  ChildResult result = start();
  umask(mask);
  ASSERT_EQ(result.exit_code(), 0) << result.out;
  struct stat st;
  ASSERT_EQ(stat(inst_.dnldir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(Daemon, LeavesNoInheritedDescriptorOpen) {
  // The write end of a pipe, left open by whoever started kivd, at fd 7:
  // the reader sees the end of the pipe only once no process holds it.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  pid_t starter = fork();
  if (starter == 0) {
    dup2(ends[1], 7);  // without close-on-exec
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<std::string> command = program_command(kivd());
    std::vector<char*> args;
    for (std::string& word : command) args.push_back(word.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(ends[1]);
  int status;
  waitpid(starter, &status, 0);
  EXPECT_TRUE(eventually([&] { return running(); }));
  pollfd reader = {ends[0], POLLIN, 0};
  ASSERT_EQ(poll(&reader, 1, int(allowance(std::chrono::seconds(5)).count())), 1)
      << "the pipe is still held open";
  char byte;
  EXPECT_EQ(read(ends[0], &byte, 1), 0);
  close(ends[0]);
  EXPECT_TRUE(running());
}

/// kivd started in a private mount namespace whose /dev has its own
/// /dev/log, served by a real busybox syslogd writing to a file; the real
/// /dev is left alone.
class DaemonLog : public Daemon {
 protected:
  void SetUp() override {
    Daemon::SetUp();
    if (access("/usr/bin/busybox", X_OK) != 0 || access("/usr/bin/unshare", X_OK) != 0)
      GTEST_SKIP() << "busybox or unshare missing";
  }
  void TearDown() override {
    Daemon::TearDown();
    end_syslogd();
  }
  void end_syslogd() {
    std::string pid = read_text(work_.path() + "syslogd.pid");
    if (!pid.empty()) kill(pid_t(std::stol(pid)), SIGKILL);
  }

  /// Starts kivd there; returns the starter's process number.
  std::string start_logged() {
    const std::string& w = work_.path();
    end_syslogd();
    mkdir((w + "upper").c_str(), 0755);
    mkdir((w + "work").c_str(), 0755);
    std::string script =
        "mount -t overlay overlay -o lowerdir=/dev,upperdir=" + w + "upper,workdir=" + w +
        "work /dev || exit 3\n"
        "rm -f /dev/log\n"
        "busybox syslogd -n -O " + w + "log </dev/null >/dev/null 2>&1 &\n"
        "echo $! > " + w + "syslogd.pid\n"
        "i=0; while [ ! -S /dev/log ] && [ $i -lt " + std::to_string(100 * wait_factor()) +
        " ]; do sleep 0.05; i=$((i+1)); done\n" +
        program_shell_command(kivd()) + " & echo $! > " + w + "starter.pid; wait $!\n";
    ChildResult result = run_program(
        {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script},
        {"PATH=/usr/bin:/bin"});
    if (result.exit_code() == 3) return "";
    status_ = result.exit_code();
    std::string pid = read_text(w + "starter.pid");
    while (!pid.empty() && pid.back() == '\n') pid.pop_back();
    return pid;
  }
  std::string log() const { return read_text(work_.path() + "log"); }

  TempDir work_;
  int status_ = -1;  // the starter's exit status
};

TEST_F(DaemonLog, StartingOncePerStartWithTheStartersNumber) {
  std::string starter = start_logged();
  if (starter.empty()) GTEST_SKIP() << "no private /dev here";
  std::string line = "local5.info kiv[" + starter + "]: starting";
  EXPECT_TRUE(eventually([&] { return log().find(line) != std::string::npos; })) << log();
  EXPECT_EQ(log().find("]: starting", log().find(line) + line.size()), std::string::npos);
}

TEST_F(DaemonLog, UnreadableJobDirectoryIsReportedAtPriority32) {
  std::filesystem::remove_all(inst_.trkdir());
  write_text(inst_.root() + "www/kiv/trk", "not a directory\n");
  if (start_logged().empty()) GTEST_SKIP() << "no private /dev here";
  std::string message = "]: Scandir error for trk directory: " + inst_.trkdir() + "\n";
  EXPECT_TRUE(eventually([&] {
    std::string text = log();
    size_t at = text.find(message);
    if (at == std::string::npos) return false;
    size_t line = text.rfind('\n', at) + 1;  // npos + 1 is the start
    // "<date> <host> auth.emerg kiv[<pid>" before the message
    std::string before = text.substr(line, at - line);
    std::string tag = "auth.emerg kiv[";
    size_t pid = before.rfind(tag);
    if (pid == std::string::npos) return false;
    std::string digits = before.substr(pid + tag.size());
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
  })) << log();
}

TEST_F(DaemonLog, ConfigurationErrorsAreLoggedAtPriorityCritical) {
  std::string published = read_text("/tmp/kiv.conf");
  std::string conf = inst_.root() + "kiv.conf";
  struct Case {
    std::string conf;
    std::string message;
  } cases[] = {
      // The "/" a directory gets makes this line one character too long
      // for the pieces the copy is read back in.
      {"dwww=/" + std::string(993, 'w') + "\n",
       conf + " - refused: the dwww line of /tmp/kiv.conf would not read back"},
      {"\ncolour=red\n", conf + " line 2: Unknown config option 'colour'"},
  };
  for (const Case& c : cases) {
    write_text(conf, c.conf);
    if (start_logged().empty()) GTEST_SKIP() << "no private /dev here";
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(eventually([&] {
      std::string text = log();
      size_t at = text.find("]: " + c.message);
      if (at == std::string::npos) return false;
      size_t start = text.rfind('\n', at) + 1;  // npos + 1 is the start
      return text.substr(start, at - start).find("local5.crit kiv[") != std::string::npos;
    })) << log();
    EXPECT_FALSE(running());
    EXPECT_EQ(read_text("/tmp/kiv.conf"), published);
  }
}

TEST_F(DaemonLog, CopyThatCannotBeReplacedIsReportedCritical) {
  // Planted where the daemon's new copy cannot take its place.
  unlink("/tmp/kiv.conf");
  mkdir("/tmp/kiv.conf", 0755);
  std::string starter = start_logged();
  if (starter.empty()) {
    rmdir("/tmp/kiv.conf");
    GTEST_SKIP() << "no private /dev here";
  }
  std::string line = "local5.crit kiv[";
  std::string text = inst_.root() + "kiv.conf - Is a directory";
  EXPECT_TRUE(eventually([&] {
    size_t at = log().find(line);
    return at != std::string::npos && log().find(text, at) != std::string::npos;
  })) << log();
  rmdir("/tmp/kiv.conf");
}

}  // namespace
}  // namespace kiv::testing
