#include "common/dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/text.h"
#include "tests/support/child.h"

namespace kiv {
namespace {

bool selects(const char* name) {
  struct dirent entry {};
  snprintf(entry.d_name, sizeof entry.d_name, "%s", name);
  return dir_filter(&entry) != 0;
}

TEST(DirFilter, AllButDotAndDotDot) {
  EXPECT_FALSE(selects("."));
  EXPECT_FALSE(selects(".."));
  EXPECT_TRUE(selects("..."));
  EXPECT_TRUE(selects(".hidden"));
}

TEST(ScanDirectory, ByNameIsByteWise) {
  testing::TempDir dir;
  for (const char* name : {"b", "ab", "a", "Z", ".x", "B", "\xC3\xA9", "\x7F"})
    testing::write_text(dir.path() + name, "");
  const std::vector<std::string> expected = {".x", "B", "Z", "a", "ab", "b", "\x7F", "\xC3\xA9"};
  auto names = scan_directory(dir.path(), ScanOrder::by_name);
  ASSERT_TRUE(names);
  EXPECT_EQ(*names, expected);
  // The compact form used for long listings: the same names in the same order.
  auto sorted = scan_sorted_names(dir.path());
  ASSERT_TRUE(sorted);
  std::vector<std::string> compact;
  for (size_t i = 0; i < sorted->size(); ++i) compact.emplace_back((*sorted)[i]);
  EXPECT_EQ(compact, expected);
  EXPECT_FALSE(scan_sorted_names(dir.path() + "missing"));
  EXPECT_FALSE(scan_directory(dir.path() + "missing", ScanOrder::by_name));
}

TEST(CutAtLast, Cuts) {
  std::string text = "a.b.c";
  EXPECT_TRUE(cut_at_last(text, '.'));
  EXPECT_EQ(text, "a.b");
  text = "abc";
  EXPECT_FALSE(cut_at_last(text, '.'));
  EXPECT_EQ(text, "abc");
  text = "abc123.wgt";
  cut_at_last(text, '.');
  EXPECT_EQ(text, "abc123");
}

}  // namespace
}  // namespace kiv
