#include "common/shell.h"

#include <gtest/gtest.h>

#include "tests/support/child.h"

namespace kiv {
namespace {

TEST(RunShell, CollectsBothStreams) {
  EXPECT_EQ(run_shell("echo out; echo err >&2"), "out\nerr\n");
  EXPECT_EQ(run_shell("echo only-error >&2; exit 3"), "only-error\n");
  EXPECT_EQ(run_shell("true"), "");
  EXPECT_NE(run_shell("no-such-command-here").find("not found"), std::string::npos);
}

TEST(RunShell, StatusAndErrorStream) {
  struct Case {
    const char* command;
    ShellStreams streams;
    const char* output;
    bool succeeded;
  } cases[] = {
      {"echo out; echo err >&2", ShellStreams::joined, "out\nerr\n", true},
      {"echo out; echo err >&2; exit 2", ShellStreams::errors_only, "err\n", false},
      {"echo listing; echo listing >&1", ShellStreams::errors_only, "", true},
      {"kill -TERM $$", ShellStreams::joined, "", false},
      {"false", ShellStreams::joined, "", false},
  };
  for (const Case& c : cases) {
    ShellResult result = run_shell_status(c.command, c.streams);
    EXPECT_EQ(result.output, c.output) << c.command;
    EXPECT_EQ(result.succeeded(), c.succeeded) << c.command;
  }
}

TEST(RunShell, DiskTableLinesEndInLineFeeds) {
  std::string table = run_shell("df -k /");
  ASSERT_FALSE(table.empty());
  EXPECT_EQ(table.back(), '\n');
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 2);
}

TEST(RunShell, KeepsTheFirst10000BytesAndDrainsTheRest) {
  EXPECT_EQ(run_shell("head -c 20000 /dev/zero | tr '\\0' a"),
            std::string(kMaxShellOutput, 'a'));
  // Far beyond any pipe buffer: the writer must not block.
  EXPECT_EQ(run_shell("head -c 5000000 /dev/zero").size(), kMaxShellOutput);
}

TEST(RunShell, CommandTextLimit) {
  std::string longest = "echo " + std::string(kMaxCommandText - 5, 'x');
  EXPECT_EQ(run_shell(longest), std::string(kMaxCommandText - 5, 'x') + "\n");
  auto refused = testing::run_in_child([&] { run_shell(longest + "x"); });
  EXPECT_TRUE(refused.out.ends_with("\r\n\nCommand line too long: " + longest + "x"));
}

[[noreturn]] void report(std::string_view message, std::string_view command) {
  printf("daemon: %.*s|%.*s", int(message.size()), message.data(), int(command.size()),
         command.data());
  fflush(stdout);
  _exit(5);
}

TEST(RunShell, FailuresGoToTheInstalledHandler) {
  auto result = testing::run_in_child([] {
    set_shell_failure(report);
    run_shell(std::string(kMaxCommandText + 1, 'y'));
  });
  EXPECT_EQ(result.exit_code(), 5);
  EXPECT_EQ(result.out, "daemon: Command line too long:|" + std::string(kMaxCommandText + 1, 'y'));
}

}  // namespace
}  // namespace kiv
