#include "common/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/dir.h"
#include "tests/support/child.h"

namespace kiv {
namespace {

using testing::read_text;

TEST(ReplaceFile, WholeFileWithItsModeWhateverTheMask) {
  testing::TempDir dir;
  std::string path = dir.path() + "state";
  testing::write_text(path, "old content, longer than the new one");
  mode_t old_mask = umask(0);
  ASSERT_TRUE(replace_file(path, "new", 0644));
  umask(077);
  ASSERT_TRUE(replace_file(dir.path() + "other", "x", 0644));
  umask(old_mask);
  EXPECT_EQ(read_text(path), "new");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_EQ(stat((dir.path() + "other").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  // No temporary is left beside it.
  EXPECT_EQ(scan_directory(dir.path(), ScanOrder::by_name)->size(), 2u);
}

TEST(ReplaceFile, ReplacesALinkInsteadOfFollowingIt) {
  testing::TempDir dir;
  std::string target = dir.path() + "target", link = dir.path() + "link";
  testing::write_text(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(replace_file(link, "mine", 0644));
  EXPECT_EQ(read_text(target), "keep");
  EXPECT_EQ(read_text(link), "mine");
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(ReplaceFile, FailureLeavesNothing) {
  testing::TempDir dir;
  EXPECT_FALSE(replace_file(dir.path() + "no/such/dir/file", "x", 0644));
  // Renaming onto a non-empty directory fails after the temporary was made.
  mkdir((dir.path() + "busy").c_str(), 0755);
  testing::write_text(dir.path() + "busy/inside", "");
  EXPECT_FALSE(replace_file(dir.path() + "busy", "x", 0644));
  EXPECT_EQ(*scan_directory(dir.path(), ScanOrder::by_name),
            std::vector<std::string>{"busy"});
}

TEST(ReadFile, ContentOrNothing) {
  testing::TempDir dir;
  std::string data("bin\0ary\n", 8);
  testing::write_text(dir.path() + "f", data);
  EXPECT_EQ(read_file(dir.path() + "f"), data);
  EXPECT_FALSE(read_file(dir.path() + "missing"));
  EXPECT_FALSE(read_file(dir.path()));  // a directory
}

}  // namespace
}  // namespace kiv
