#include "ctl/download.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/child.h"

namespace kiv::ctl {
namespace {

using testing::TempDir;
using testing::write_text;

TEST(ParseInode, Numbers) {
  EXPECT_EQ(parse_inode("1234"), 1234u);
  EXPECT_EQ(parse_inode("  +77xyz"), 77u);
  EXPECT_EQ(parse_inode("4294967296"), 4294967296u);
  EXPECT_EQ(parse_inode("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_inode("18446744073709551616"), 0u);
  EXPECT_EQ(parse_inode("-5"), 0u);
  EXPECT_EQ(parse_inode("film.avi"), 0u);
  EXPECT_EQ(parse_inode(""), 0u);
}

TEST(DispositionName, CannotBreakTheHeader) {
  EXPECT_EQ(disposition_name("film 1.avi"), "film 1.avi");
  EXPECT_EQ(disposition_name("a\"b\\c"), "a\\\"b\\\\c");
  EXPECT_EQ(disposition_name("x\r\nSet-Cookie: y"), "xSet-Cookie: y");
}

/// What a child that ran `body` wrote, with the exit status checked.
std::string output(const std::function<void()>& body) {
  testing::ChildResult result = testing::run_in_child(body);
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  return result.out;
}

std::string answer_body(const std::string& out) {
  size_t at = out.find("\r\n\n");
  return at == std::string::npos ? "(no answer) " + out : out.substr(at + 3);
}

TEST(SendFile, Refusals) {
  TempDir temp;
  mkdir((temp.path() + "dir").c_str(), 0755);
  mkfifo((temp.path() + "fifo").c_str(), 0644);
  EXPECT_EQ(answer_body(output([&] { send_file(temp.path(), "/missing"); })),
            "File not found: /missing");
  // Neither may announce a length it cannot send, nor hang.
  EXPECT_EQ(answer_body(output([&] { send_file(temp.path(), "/dir"); })),
            "Unable to access download file: /dir");
  EXPECT_EQ(answer_body(output([&] { send_file(temp.path(), "/fifo"); })),
            "Unable to access download file: /fifo");
  EXPECT_EQ(answer_body(output([&] { send_file(temp.path() + "x/..", "/y"); })),
            "Filename error (contains /..) " + temp.path() + "x/../y");
}

TEST(SendFile, ClosedOutputEndsWithMessage) {
  TempDir temp;
  write_text(temp.path() + "big", std::string(1 << 20, 'x'));
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  testing::ChildResult result = testing::run_in_child([&] {
    dup2(ends[1], 1);
    send_file(temp.path(), "/big");
  });
  close(ends[1]);
  EXPECT_EQ(result.exit_code(), 0) << "a broken pipe must not kill it";
}

}  // namespace
}  // namespace kiv::ctl
