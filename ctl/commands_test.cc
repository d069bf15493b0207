#include "ctl/commands.h"

#include <gtest/gtest.h>

namespace kiv::ctl {
namespace {

std::string_view selected(std::string_view word) {
  const Command* command = find_command(word);
  return command ? command->keyword : "(none)";
}

TEST(CommandTable, OrderAndMatching) {
  std::vector<std::string_view> keywords;
  for (const Command& command : command_table()) keywords.push_back(command.keyword);
  EXPECT_EQ(keywords, (std::vector<std::string_view>{
                          "nukeall", "disk", "scripts", "targz", "run", "amule", "lock",
                          "del", "rem", "dow", "stop", "mkdir", "startdnl", "starttor",
                          "ctor", "wget", "rename", "copy", "magnet", "queue", "startnow", "move"}));
  // Each keyword alone selects its own row.
  for (std::string_view keyword : keywords) EXPECT_EQ(selected(keyword), keyword);
}

TEST(CommandTable, SubstringInTableOrder) {
  EXPECT_EQ(selected("unlock"), "lock");
  EXPECT_EQ(selected("remove"), "rem");
  EXPECT_EQ(selected("delete"), "del");
  EXPECT_EQ(selected("download"), "dow");
  EXPECT_EQ(selected("rerun"), "run");
  EXPECT_EQ(selected("xwgetx"), "wget");
  EXPECT_EQ(selected("stopdisk"), "disk");  // earlier row wins, not position
  EXPECT_EQ(selected("WGET"), "(none)");
  EXPECT_EQ(selected(""), "(none)");
}

}  // namespace
}  // namespace kiv::ctl
