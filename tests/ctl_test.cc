// kiv-ctl run as the web server runs it: a CGI environment, a body on
// standard input, the resolved configuration at its fixed path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/child.h"

namespace kiv {
namespace {

using testing::ChildResult;

const std::string kHeaders =
    "Content-type: text/html;charset=utf-8\r\nPragma: no-cache\r\n"
    "Cache-Control: no-cache,no-store\r\nExpires: 0\r\n";

class KivCtl : public ::testing::Test {
 protected:
  testing::KeepFile keep_{"/tmp/kiv.conf"};
  testing::TempDir root_;

  void SetUp() override {
    for (const char* dir : {"bin", "www", "www/kiv", "www/kiv/trk", "www/kiv/dnl",
                            "www/kiv/cgi-bin", "www/kivfb", "www/kivfb/cgi-bin"})
      mkdir((root_.path() + dir).c_str(), 0755);
    publish("");
  }

  void publish(const std::string& extra) {
    const std::string& r = root_.path();
    testing::write_text("/tmp/kiv.conf", "droo=" + r + "\ndbin=" + r + "bin/\nwget=wget\n" +
                                             "ctor=ctorrent\ndwww=" + r + "www/kiv/\ndufb=" +
                                             r + "www/kivfb/\ndnldir=" + r +
                                             "www/kiv/dnl/\npidfile=" + r + "bin/kiv.pid\n" +
                                             extra);
  }

  ChildResult run(std::vector<std::string> env, std::string body = {}) {
    env.push_back("PATH=/usr/bin:/bin");
    env.push_back("GATEWAY_INTERFACE=CGI/1.1");
    return testing::run_program({KIV_BUILD_DIR "/ctl/kiv-ctl"}, env, body);
  }

  /// The whole answer for a request, which must end with status 0.
  std::string answer(std::vector<std::string> env, std::string body = {}) {
    ChildResult result = run(std::move(env), std::move(body));
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    return result.out;
  }
};

TEST_F(KivCtl, CommandWordAnswers) {
  EXPECT_EQ(answer({}), kHeaders + "\nkiv-ctl: no command provided(NULL)");
  EXPECT_EQ(answer({"QUERY_STRING=cmd="}), kHeaders + "\nUnknown command:");
  EXPECT_EQ(answer({"QUERY_STRING=cmd=WGET"}), kHeaders + "\nUnknown command: WGET");
  EXPECT_EQ(answer({"QUERY_STRING=cmd=xxxxxxxxxxwget"}),
            kHeaders + "\nUnknown command: xxxxxxxxxx");
  EXPECT_EQ(answer({"QUERY_STRING=cmd=%E9t%E9+x"}),
            kHeaders + "\nUnknown command: \xC3\xA9t\xC3\xA9 x");
}

TEST_F(KivCtl, LastSourceWins) {
  EXPECT_EQ(answer({"QUERY_STRING=cmd=fromquery", "HTTP_COOKIE=lang=en; cmd=fromcookie",
                    "CONTENT_LENGTH=12", "REQUEST_METHOD=POST"},
                   "cmd=frombody"),
            kHeaders + "\nUnknown command: frombody");
  EXPECT_EQ(answer({"QUERY_STRING=cmd=fromquery", "HTTP_COOKIE=lang=en; cmd=fromcookie"}),
            kHeaders + "\nUnknown command: fromcookie");
}

TEST_F(KivCtl, CommandsNotBuiltYetSaySo) {
  // A handler still missing must never pass for a success.
  EXPECT_EQ(answer({"QUERY_STRING=cmd=unlock&file=read"}),
            kHeaders + "\nCommand not available: lock");
}

TEST_F(KivCtl, BadBodies) {
  EXPECT_EQ(answer({"QUERY_STRING=cmd=rem", "CONTENT_LENGTH=100"}, "file=a"),
            kHeaders + "\nRequest body ended early: 100");
  EXPECT_EQ(answer({"CONTENT_LENGTH=2000000000"}, "cmd=x"),
            kHeaders + "\nRequest body too large: 2000000000");
}

TEST_F(KivCtl, ConfigurationFailuresAnswerBareText) {
  unlink("/tmp/kiv.conf");
  ChildResult missing = run({"QUERY_STRING=cmd=disk"});
  EXPECT_EQ(missing.exit_code(), 1);
  EXPECT_EQ(missing.out, "CRITICAL ERROR: opening temporary /tmp/kiv.conf");

  publish("colour=red\n");
  ChildResult unknown = run({"QUERY_STRING=cmd=disk"});
  EXPECT_EQ(unknown.exit_code(), 1);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err, "Unknown config option 'colour'\n");
}

}  // namespace
}  // namespace kiv
