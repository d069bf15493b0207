#include "common/quote.h"

#include <gtest/gtest.h>

#include "tests/support/child.h"

namespace kiv {
namespace {

using testing::run_program;

/// Names a torrent or a remote server could hand us, and a name made of
/// every byte value but NUL.
std::vector<std::string> hostile_names() {
  std::vector<std::string> names = {
      "a$(reboot)b", "`id`", "x\\", "\\", "say \"hi\"", "'", "it's", "'\\''",
      "$HOME", "${PATH}", "$((1+1))", "a\nb", "tab\there", "*", "~root", "!x",
      "\"; touch /tmp/kiv-pwned; \"", "'; touch /tmp/kiv-pwned; '", "end\\\"",
      "\xE9t\xE9", "",
  };
  std::string every_byte;
  for (int c = 1; c < 256; ++c) every_byte += char(c);
  names.push_back(every_byte);
  return names;
}

std::string through_shell(const std::string& line) {
  return run_program({"/bin/sh", "-c", line}, {"PATH=/usr/bin:/bin"}).out;
}

TEST(ShellDoubleQuote, TortureRoundTripsThroughTheShell) {
  for (const std::string& name : hostile_names())
    EXPECT_EQ(through_shell("printf %s \"" + escape_shell_double(name) + "\""), name)
        << "name: " << name;
}

TEST(ShellSingleQuote, TortureRoundTripsThroughTheShell) {
  for (const std::string& name : hostile_names())
    EXPECT_EQ(through_shell("printf %s '" + escape_shell_single(name) + "'"), name)
        << "name: " << name;
}

TEST(ShellQuote, SensibleNamesUnchanged) {
  for (std::string name : {"My Film (1).avi", "dir/sub/file.tar.gz", "a-b_c+d=e,f@g"}) {
    EXPECT_EQ(escape_shell_double(name), name);
    EXPECT_EQ(escape_shell_single(name), name);
  }
  EXPECT_EQ(escape_shell_double("say \"hi\""), "say \\\"hi\\\"");
  EXPECT_EQ(escape_shell_single("it's"), "it'\\''s");
}

TEST(ShellQuote, RefusesNamesOver500Characters) {
  std::string longest(kMaxNameLength, 'n');
  EXPECT_EQ(escape_shell_double(longest), longest);
  EXPECT_EQ(escape_shell_single(longest), longest);
  for (auto quote : {escape_shell_double, escape_shell_single}) {
    auto result = testing::run_in_child([&] { quote(longest + "n"); });
    EXPECT_EQ(result.exit_code(), 0);
    EXPECT_TRUE(result.out.ends_with(
        "\r\n\nFilename too long please shorten it:  " + longest + "n"));
  }
}

}  // namespace
}  // namespace kiv
