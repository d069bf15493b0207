#include "common/inside.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/child.h"

namespace kiv {
namespace {

TEST(ResolvesInside, LinksAreFollowedExceptAnEntryActedOnItself) {
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

  struct Case {
    const char* relative;
    Reach reach;
    bool inside;
  };
  const Case cases[] = {
      {"", Reach::through, true},
      {"file", Reach::through, true},
      {"sub/new/deeper", Reach::through, true},      // made later: judged by sub
      {"/sub//new", Reach::entry, true},
      {"same/x", Reach::through, true},               // a link that stays inside
      {"file/x", Reach::through, true},               // the command meets ENOTDIR
      {"up", Reach::entry, true},                     // the link itself is removed
      {"up", Reach::through, false},
      {"up/", Reach::entry, false},                   // a "/" makes the kernel follow
      {"up/beside", Reach::through, false},
      {"etc/hostname", Reach::through, false},
      {"etc/new", Reach::entry, false},
      {"sub/new/../../..", Reach::through, false},    // ".." among missing components
      {"sub/..", Reach::entry, false},
      {"sub/.", Reach::entry, false},
      {"dangling", Reach::entry, true},
      {"dangling", Reach::through, false},
      {"dangling/x", Reach::through, false},
      {"loop/x", Reach::through, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(resolves_inside(root, c.relative, c.reach), c.inside)
        << c.relative << (c.reach == Reach::entry ? " (entry)" : "");
  EXPECT_FALSE(resolves_inside(box.path() + "missing/", "", Reach::through));
}

}  // namespace
}  // namespace kiv
