#include "ctl/jobs.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include "common/quote.h"
#include "tests/support/child.h"

namespace kiv::ctl {
namespace {

std::string body(const testing::ChildResult& result) {
  return result.out.substr(result.out.find("\r\n\n") + 3);
}

TEST(WgetPid, FromItsAnswer) {
  EXPECT_EQ(wget_pid("Continuing in background, pid 9360.\n"), "9360");
  // Failures before the fork: no number, whatever the last word is.
  EXPECT_EQ(wget_pid("wget: /nope/x.wgt: No such file or directory\n"), std::nullopt);
  EXPECT_EQ(wget_pid("wget: unrecognized option '--bogus'\nTry `wget --help'.\n"),
            std::nullopt);
  EXPECT_EQ(wget_pid("nothing"), std::nullopt);
  EXPECT_EQ(wget_pid(""), std::nullopt);
  EXPECT_EQ(wget_pid("pid self."), std::nullopt);
  EXPECT_EQ(wget_pid("pid 0."), std::nullopt);
  EXPECT_EQ(wget_pid("pid 1234567890."), std::nullopt);
  EXPECT_EQ(wget_pid("pid 12\n."), std::nullopt);
}

TEST(CommandLines, Wget) {
  EXPECT_EQ(wget_command_line("wget", "--limit-rate=10k", "/r/trk/aB3dE9.wgt", "http://h/x"),
            "wget -b --progress=bar:force --limit-rate=10k -a '/r/trk/aB3dE9.wgt' 'http://h/x'");
  // Nothing in the URL can leave its word.
  EXPECT_EQ(wget_command_line("wget", "", "/t/a.wgt", "http://h/$(x)`y`'z\\"),
            "wget -b --progress=bar:force  -a '/t/a.wgt' 'http://h/$(x)`y`'\\''z\\'");
}

TEST(CommandLines, Ctorrent) {
  EXPECT_EQ(ctorrent_command_line("ctorrent", "aB3dE9", "-e 1", "/r/trk/", "/r/dnl/a.torrent",
                                  "/r/trk/aB3dE9.tor"),
            "ctorrent -P aB3dE9 -e 1 -b '/r/trk/aB3dE9.bf' '/r/dnl/a.torrent' < /tmp/kiv-sl "
            ">> '/r/trk/aB3dE9.tor' 2>> '/r/trk/aB3dE9.tor' & echo -n $!");
}

TEST(CommandLines, LongNamesRefused) {
  std::string name(kMaxNameLength + 1, 'n');
  testing::ChildResult result =
      testing::run_in_child([&] { wget_command_line("wget", "", "/t/a.wgt", name); });
  EXPECT_EQ(body(result), "Filename too long please shorten it:  " + name);
  result = testing::run_in_child(
      [&] { ctorrent_command_line("c", "X", "", "/t/", name, "/t/X.tor"); });
  EXPECT_EQ(body(result), "Filename too long please shorten it:  " + name);
  std::string fits(kMaxNameLength, 'n');
  EXPECT_NE(wget_command_line("wget", "", "/t/a.wgt", fits).find(fits), std::string::npos);
}

TEST(CtorrentHeader, DateAndBaseName) {
  const char* tz = getenv("TZ");
  std::string saved = tz ? tz : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  // 2026-12-07 01:05:09 UTC
  EXPECT_EQ(ctorrent_header(1796605509, "/r/dnl/sub/a.torrent"), "-- 7/11/2026 1:5:9 --a.torrent\n");
  EXPECT_EQ(ctorrent_header(1796605509, "plain.torrent"), "-- 7/11/2026 1:5:9 --plain.torrent\n");
  if (tz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace kiv::ctl
