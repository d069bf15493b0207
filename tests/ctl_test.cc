// kiv-ctl run as the web server runs it: a CGI environment, a body on
// standard input, the resolved configuration at its fixed path.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/installation.h"

namespace kiv {
namespace {

using testing::ChildResult;
using testing::kHeaders;

class KivCtl : public ::testing::Test {
 protected:
  testing::Installation installation_;

  ChildResult run(std::vector<std::string> env, std::string body = {}) {
    return installation_.run("ctl/kiv-ctl", std::move(env), body);
  }

  /// The whole answer for a request, which must end with status 0.
  std::string answer(std::vector<std::string> env, std::string body = {}) {
    ChildResult result = run(std::move(env), std::move(body));
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    return result.out;
  }
};

TEST_F(KivCtl, CommandWordAnswers) {
  EXPECT_EQ(answer({}), kHeaders + "kiv-ctl: no command provided(NULL)");
  EXPECT_EQ(answer({"QUERY_STRING=cmd="}), kHeaders + "Unknown command:");
  EXPECT_EQ(answer({"QUERY_STRING=cmd=WGET"}), kHeaders + "Unknown command: WGET");
  EXPECT_EQ(answer({"QUERY_STRING=cmd=xxxxxxxxxx"}), kHeaders + "Unknown command: xxxxxxxxxx");
  EXPECT_EQ(answer({"QUERY_STRING=cmd=%E9t%E9+x"}),
            kHeaders + "Unknown command: \xC3\xA9t\xC3\xA9 x");
}

TEST_F(KivCtl, LastSourceWins) {
  EXPECT_EQ(answer({"QUERY_STRING=cmd=fromquery", "HTTP_COOKIE=lang=en; cmd=fromcookie",
                    "CONTENT_LENGTH=12", "REQUEST_METHOD=POST"},
                   "cmd=frombody"),
            kHeaders + "Unknown command: frombody");
  // A cookie never carries the command.
  EXPECT_EQ(answer({"QUERY_STRING=cmd=fromquery", "HTTP_COOKIE=lang=en; cmd=fromcookie"}),
            kHeaders + "Unknown command: fromquery");
}

TEST_F(KivCtl, BadBodies) {
  EXPECT_EQ(answer({"QUERY_STRING=cmd=rem", "CONTENT_LENGTH=100"}, "file=a"),
            kHeaders + "Request body ended early: 100");
  EXPECT_EQ(answer({"CONTENT_LENGTH=2000000000"}, "cmd=x"),
            kHeaders + "Request body too large: 2000000000");
}

TEST_F(KivCtl, ConfigurationFailuresAnswerBareText) {
  unlink("/tmp/kiv.conf");
  ChildResult missing = run({"QUERY_STRING=cmd=disk"});
  EXPECT_EQ(missing.exit_code(), 1);
  EXPECT_EQ(missing.out, "CRITICAL ERROR: opening temporary /tmp/kiv.conf");

  installation_.publish("colour=red\n");
  ChildResult unknown = run({"QUERY_STRING=cmd=disk"});
  EXPECT_EQ(unknown.exit_code(), 1);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err, "/tmp/kiv.conf line 9: Unknown config option 'colour'\n");
}

}  // namespace
}  // namespace kiv
