#include "common/wget_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "common/file.h"
#include "tests/support/child.h"

namespace kiv {
namespace {

TEST(SavedName, AsWgetQuotesIt) {
  struct Case {
    std::string line;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {"Saving to: 'readme.txt.1'\n", "readme.txt.1"},
      {"Saving to: \u2018sub/a b.iso\u2019\n", "sub/a b.iso"},
      // The C locale's escapes: backslash, apostrophe, octal bytes.
      {"Saving to: 'a b\\'c\\\\d\\303\\251'\n", "a b'c\\d\xc3\xa9"},
      {"Saving to: 'x\\ny'\n", std::nullopt},
      {"Saving to: '\\000'\n", std::nullopt},
      {"Saving to: '-'\n", std::nullopt},
      {"Saving to: 'no line end'", std::nullopt},
      {"Wird in \u00bbx\u00ab gespeichert.\n", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(saved_name(c.line), c.name) << c.line;
}

TEST(FirstSavingLine, FirstWholeLineThroughLongRedraws) {
  testing::TempDir dir;
  auto first = [&](const std::string& log) {
    testing::write_text(dir.path() + "log", log);
    UniqueFd fd(open((dir.path() + "log").c_str(), O_RDONLY));
    return first_saving_line(fd.get());
  };
  std::string head = "--2026-12-08 02:00:00--  http://127.0.0.1/f\nLength: 9\n";
  std::string bar;
  for (int i = 0; i < 2000; ++i) bar += "\rf   1%[>   ]  12K  1.0KB/s";
  EXPECT_EQ(first(head + "Saving to: 'f.1'\n\n" + bar + "\n" + head + "Saving to: 'f.2'\n"),
            "Saving to: 'f.1'\n");
  EXPECT_EQ(first(head + bar + "Saving to: 'in a redraw'\n" + head + "Saving to: 'f'\n"),
            "Saving to: 'f'\n");
  EXPECT_EQ(first(head + "Saving to: 'unended'"), "");
  std::string longest = "Saving to: '" + std::string(kSavingLineLength - 14, 'n') + "'\n";
  ASSERT_EQ(longest.size(), kSavingLineLength);
  EXPECT_EQ(first(head + longest), longest);
  EXPECT_EQ(first(head + "Saving to: 'n" + longest.substr(12)), "");
}

}  // namespace
}  // namespace kiv
