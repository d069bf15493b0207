#include "common/file_choice.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

TEST(FileChoice, StrictLists) {
  const struct {
    std::string_view list;
    size_t files;
    bool valid;
  } cases[] = {
      {"1", 0, true},       {"1,3", 3, true},   {"2,10,11", 0, true},
      {"", 0, false},       {"0", 0, false},    {"01", 0, false},
      {"3,1", 0, false},    {"1,1", 0, false},  {"1,,3", 0, false},
      {"1,", 0, false},     {",1", 0, false},   {"1-3", 0, false},
      {"1 3", 0, false},    {"4", 3, false},    {"+1", 0, false},
      {"99999999999999999999999", 0, false},
  };
  for (const auto& c : cases) EXPECT_EQ(valid_file_choice(c.list, c.files), c.valid) << c.list;
  std::string longest;
  for (int n = 1; longest.size() + std::to_string(n).size() + 1 <= kFileChoiceLength; ++n)
    longest += (n > 1 ? "," : "") + std::to_string(n);
  EXPECT_TRUE(valid_file_choice(longest, 0));
  EXPECT_FALSE(valid_file_choice(longest + ",999", 0)) << "over the limit";
}

TEST(FileChoice, KeptAmongTheOptions) {
  using enum TorrentEngine;
  const struct {
    TorrentEngine engine;
    std::string_view options, choice, result;
  } cases[] = {
      {ctorrent, "-e 1 -D 50", "2,3", "-e 1 -D 50 -n 2,3"},
      {ctorrent, "-n 1 -e 1", "2", "-e 1 -n 2"},
      {ctorrent, "-e 1 -n 1,2", "", "-e 1"},
      {aria2c, "--max-download-limit=50K", "1,4", "--max-download-limit=50K --select-file=1,4"},
      {aria2c, "--select-file=1 --max-upload-limit=5K", "", "--max-upload-limit=5K"},
  };
  for (const auto& c : cases) {
    std::string options = with_file_choice(c.options, c.choice, c.engine);
    EXPECT_EQ(options, c.result);
    EXPECT_EQ(file_choice(options, c.engine), c.choice) << options;
  }
  EXPECT_EQ(engine_of("magnet:?xt=urn:btih:x"), aria2c);
  EXPECT_EQ(engine_of("/dnl/a.torrent"), ctorrent);
}

}  // namespace
}  // namespace kiv
