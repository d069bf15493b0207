#include "common/inside.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/child.h"

namespace kiv {
namespace {

TEST(JudgePath, LinksAreFollowedExceptAnEntryActedOnItself) {
  // box/ holds the download directory "usb", itself a link to disk/, as a
  // USB disk would be.
  testing::TempDir box;
  std::string disk = box.path() + "disk/";
  mkdir(disk.c_str(), 0755);
  mkdir((disk + "sub").c_str(), 0755);
  mkdir((box.path() + "beside").c_str(), 0755);
  testing::write_text(disk + "file", "x");
  symlink(disk.c_str(), (box.path() + "usb").c_str());
  symlink("..", (disk + "up").c_str());
  symlink("/etc", (disk + "etc").c_str());
  symlink("sub", (disk + "same").c_str());
  symlink("../beside/x", (disk + "dangling").c_str());
  symlink("loop", (disk + "loop").c_str());
  std::string root = box.path() + "usb/";

  const std::string long_name(kMaxComponentLength + 1, 'n');
  const Verdict in = Verdict::inside, out = Verdict::outside;
  struct Case {
    std::string relative;
    Reach reach;
    Verdict verdict;
  };
  const Case cases[] = {
      {"", Reach::through, in},
      {"file", Reach::through, in},
      {"sub/new/deeper", Reach::through, in},      // made later: judged by sub
      {"/sub//new", Reach::entry, in},
      {"same/x", Reach::through, in},               // a link that stays inside
      {"file/x", Reach::through, in},               // the command meets ENOTDIR
      {"up", Reach::entry, in},                     // the link itself is removed
      {"up", Reach::through, out},
      {"up/", Reach::entry, out},                   // a "/" makes the kernel follow
      {"up/beside", Reach::through, out},
      {"etc/hostname", Reach::through, out},
      {"etc/new", Reach::entry, out},
      {"sub/new/../../..", Reach::through, out},    // ".." among missing components
      {"sub/..", Reach::entry, out},
      {"sub/.", Reach::entry, out},
      {"dangling", Reach::entry, in},
      {"dangling", Reach::through, out},
      {"dangling/x", Reach::through, out},
      {"dangling/", Reach::entry, out},             // followed, to nowhere
      {"file/", Reach::entry, in},                  // the command meets ENOTDIR
      {"loop/x", Reach::through, Verdict::loop},
      {"loop", Reach::through, Verdict::loop},
      {"loop", Reach::entry, in},                      // removing the link is fine
      {"sub/" + long_name, Reach::entry, Verdict::too_long},
      {"sub/" + std::string(kMaxComponentLength, 'n'), Reach::entry, in},
  };
  for (const Case& c : cases)
    EXPECT_EQ(judge_path(root, c.relative, c.reach), c.verdict)
        << c.relative << (c.reach == Reach::entry ? " (entry)" : "");
  EXPECT_FALSE(resolves_inside(box.path() + "missing/", "", Reach::through));
}

std::string body(const testing::ChildResult& result) {
  return result.out.substr(result.out.find("\r\n\n") + 3);
}

TEST(CheckPath, BothSpellingsAndNamesThatLeadUp) {
  auto lower = testing::run_in_child(
      [] { check_path("/d/dnl/../etc", PathMessage::lower_case); });
  EXPECT_EQ(body(lower), "filename error (contains /..) /d/dnl/../etc");
  auto capital = testing::run_in_child(
      [] { check_path("/d/dnl/a/..hidden", PathMessage::capitalised); });
  EXPECT_EQ(body(capital), "Filename error (contains /..) /d/dnl/a/..hidden");
  auto clean = testing::run_in_child(
      [] { check_path("/d/dnl/a..b/c.", PathMessage::lower_case); });
  EXPECT_EQ(clean.exit_code(), testing::kReturned);
  // A relative name counts the separator that will join it.
  for (std::string_view up : {"..", "../x", "..b", "a/..", "a/../b"}) EXPECT_TRUE(name_leads_up(up)) << up;
  for (std::string_view plain : {"", "a..b", "a/b..", ".hidden", "a/.b"})
    EXPECT_FALSE(name_leads_up(plain)) << plain;
  for (std::string_view reserved : {".htpasswd", "a/.htpasswd/", ".f.copy-Ab12cd"})
    EXPECT_TRUE(is_reserved_name(reserved)) << reserved;
  EXPECT_FALSE(is_reserved_name("htpasswd"));
}

}  // namespace
}  // namespace kiv
