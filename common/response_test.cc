#include "common/response.h"

#include <gtest/gtest.h>

#include "tests/support/child.h"

namespace kiv {
namespace {

using testing::run_in_child;

const std::string kHeaders =
    "Content-type: text/html;charset=utf-8\r\nPragma: no-cache\r\n"
    "Cache-Control: no-cache,no-store\r\nExpires: 0\r\n";

std::string answer(std::string_view message, std::optional<std::string_view> detail) {
  auto result = run_in_child([&] { message_answer(message, detail); });
  EXPECT_EQ(result.exit_code(), 0);
  return result.out;
}

TEST(MessageAnswer, Forms) {
  EXPECT_EQ(answer("OK", ""), kHeaders + "\nOK");
  EXPECT_EQ(answer("File not found:", "a.txt"), kHeaders + "\nFile not found: a.txt");
  EXPECT_EQ(answer("Filename too long please shorten it: ", "x"),
            kHeaders + "\nFilename too long please shorten it:  x");
  EXPECT_EQ(answer("kiv-ctl: no command provided", std::nullopt),
            kHeaders + "\nkiv-ctl: no command provided(NULL)");
}

TEST(MessageAnswer, RedirectOnlyByItsOwnCall) {
  EXPECT_EQ(run_in_child([] { redirect_answer("/"); }).out, kHeaders + "Location: /\n\n");
  // A message that is the word, or output that mentions it, is shown.
  EXPECT_EQ(answer("Location", "/"), kHeaders + "\nLocation /");
  EXPECT_EQ(answer("Moved: Location", "\n"), kHeaders + "\nMoved: Location \n");
}

TEST(MessageAnswer, DropsAHalfBuiltPage) {
  auto result = run_in_child([] {
    out_reset();
    out_headers(HeaderEnd::closed);
    out_append("{curdir: '/',dnl:[");
    message_answer("Can't scan download directory", "/x/");
  });
  EXPECT_EQ(result.out, kHeaders + "\nCan't scan download directory /x/");
}

TEST(ResponseBuffer, PageWrittenWholeAndInOrder) {
  std::string expected = kHeaders + "\n";
  auto result = run_in_child([] {
    out_reset();
    out_headers(HeaderEnd::closed);
    // Spilled as it grows (as long listings are), the page stays whole.
    for (int i = 0; i < 5000; ++i) {
      out_append(std::to_string(i % 10) + "abcdefghi");
      out_spill();
      if (out_text().size() >= kSpillLength) std::abort();
    }
    out_flush();
  });
  for (int i = 0; i < 5000; ++i) expected += std::to_string(i % 10) + "abcdefghi";
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(result.exit_code(), testing::kReturned);
}

}  // namespace
}  // namespace kiv
