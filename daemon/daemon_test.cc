#include "daemon/daemon.h"

#include <climits>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/config.h"
#include "tests/support/child.h"

namespace kiv {
namespace {

using testing::read_text;
using testing::run_in_child;
using testing::TempDir;
using testing::write_text;

TEST(Banner, SevenLines) {
  EXPECT_EQ(banner(), std::string("\n*********************************\nkiv 0.4.0\n") +
                          KIV_RELEASE_PAGE + "\n" + KIV_CONTACT +
                          "\n*********************************\n"
                          "kiv forking to background: bye...\n");
}

TEST(DaemonFail, PrintsMessageAndDetailAndEndsWithZero) {
  testing::ChildResult result =
      run_in_child([] { daemon_fail("Cannot close pipe to shell:", "true 2>&1"); });
  EXPECT_EQ(result.exit_code(), 0);
  EXPECT_EQ(result.out, "Cannot close pipe to shell:true 2>&1\n");
}

std::string link_target(const std::string& path) {
  char target[PATH_MAX];
  ssize_t n = readlink(path.c_str(), target, sizeof target);
  return n < 0 ? "" : std::string(target, size_t(n));
}

TEST(DaemonDetach, NewSessionJobDirectoryAndQuietStreams) {
  TempDir dir;
  testing::ChildResult result = run_in_child([&] {
    config().trkdir = dir.path();
    daemon_detach();
    std::string cwd = link_target("/proc/self/cwd") + "/";
    bool ok = getsid(0) == getpid() && cwd == dir.path();
    for (const char* fd : {"/proc/self/fd/0", "/proc/self/fd/1", "/proc/self/fd/2"})
      ok = ok && link_target(fd) == "/dev/null";
    _exit(ok ? 0 : 1);
  });
  EXPECT_EQ(result.exit_code(), 0);
  EXPECT_EQ(result.out, "");
}

TEST(WorkerPass, TrimsWithoutAVersionCopy) {
  TempDir dir;
  Config& c = config();
  c.dwww = dir.path();
  c.trkdir = dir.path() + "trk/";
  c.wget = "wget";
  mkdir(c.trkdir.c_str(), 0755);
  write_text(c.trkdir + "abcdef.wgt", "first\n" + std::string(600, '-') + "\nlast line\n");
  worker_pass();
  EXPECT_EQ(read_text(c.trkdir + "abcdef.wgt"), "first\nlast line\n");
  EXPECT_NE(access((c.dwww + "version.html").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace kiv
