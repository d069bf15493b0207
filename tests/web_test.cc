// The installation behind the real web server, reached with curl on
// loopback: uploads and the access lock as a browser meets them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/installation.h"
#include "tests/support/web.h"

namespace kiv {
namespace {

using testing::read_text;
using testing::run_program;
using testing::write_text;

class WebServer : public ::testing::Test {
 protected:
  testing::Installation installation_;
  std::string root_ = installation_.root();
  std::string www_ = root_ + "www/kiv/";
  std::string dnl_ = installation_.dnldir();
  testing::WebSite site_{installation_};

  void SetUp() override {
    if (!testing::WebSite::available()) GTEST_SKIP() << "lighttpd or curl is not installed";
    write_text(www_ + "index.html", "<html>kiv</html>");
    write_text(root_ + "www/kivfb/index.html", "<html>fb</html>");
    write_text(www_ + "trk/aB3dE9.wgt", "log line");
    write_text(dnl_ + "movie.avi", "film");
    ASSERT_TRUE(site_.start()) << read_text(root_ + "log/webserver.log");
  }

  std::string url(const std::string& path) const { return site_.url(path); }
  std::string curl(std::vector<std::string> args) { return site_.curl(std::move(args)); }
  std::string status(const std::string& path, const std::string& credentials = "") {
    return site_.status(path, credentials);
  }
  std::string ctl(const std::string& query, const std::string& credentials = "") {
    return site_.ctl(query, credentials);
  }
};

TEST_F(WebServer, UploadsAreStoredExactly) {
  std::string data;
  for (unsigned i = 0; i < 1000000; ++i) data += char((i * 2654435761u) >> 24);
  data += std::string("\r\n-\0\r", 5);
  write_text(root_ + "source.bin", data);
  write_text(root_ + "empty.bin", "");
  for (const char* name : {"source.bin", "empty.bin"}) {
    std::string answer = curl({"-i", "-b", "curdir=/", "-F", std::string("up=@") + root_ + name,
                               url("/cgi-bin/kiv-upload")});
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 302")) << answer;
    EXPECT_NE(answer.find("\r\nLocation: /\r\n"), std::string::npos) << answer;
  }
  EXPECT_EQ(read_text(dnl_ + "source.bin"), data);
  EXPECT_EQ(read_text(dnl_ + "empty.bin"), "");
}

TEST_F(WebServer, OneGigabyteUpload) {
  std::string source = root_ + "big.bin";
  ASSERT_EQ(truncate((write_text(source, "start"), source).c_str(), off_t(1) << 30), 0);
  std::string answer = curl({"-o", "/dev/null", "-w", "%{http_code}", "-b", "curdir=/", "-F",
                             "up=@" + source, url("/cgi-bin/kiv-upload")});
  EXPECT_EQ(answer, "302");
  EXPECT_EQ(run_program({"/usr/bin/cmp", source, dnl_ + "big.bin"}, {}).exit_code(), 0);
  unlink(source.c_str());
  unlink((dnl_ + "big.bin").c_str());
}

TEST_F(WebServer, LockClosesEverythingUntilUnlocked) {
  const std::vector<std::string> pages = {
      "/", "/index.html", "/trk/aB3dE9.wgt", "/dnl/movie.avi", "/cgi-bin/kiv-list",
      "/cgi-bin/kiv-ctl?cmd=lock&file=read", "/cgi-bin/kiv-ctl/extra?cmd=lock&file=read",
      "/kivfb/", "/kivfb/cgi-bin/kiv-list", "/trk//aB3dE9.wgt", "/./trk/aB3dE9.wgt",
      "/%74rk/aB3dE9.wgt", "/dnl/../trk/aB3dE9.wgt", "/no/such/page"};
  const std::vector<std::string> lock_files = {
      "/.htpasswd", "/trk/.htpasswd", "/cgi-bin/.htpasswd", "/kivfb/.htpasswd",
      "/kivfb/cgi-bin/.htpasswd", "/%2ehtpasswd", "/trk/.HTPASSWD"};
  EXPECT_EQ(ctl("cmd=lock&file=read"), "KO");
  EXPECT_EQ(status("/trk/aB3dE9.wgt"), "200");

  // A password with an apostrophe works as a password and runs nothing.
  std::string user = "admin1", password = "it's;id";
  EXPECT_EQ(ctl("cmd=lock&file=admin1%3AaXQncztpZA%3A1"),
            "Close and restart the browser to complete the operation");
  for (const std::string& page : pages) EXPECT_EQ(status(page), "401") << page;
  for (const std::string& page : lock_files) {
    EXPECT_NE(status(page), "200") << page;
    EXPECT_NE(status(page, user + ":" + password), "200") << page;
  }
  EXPECT_EQ(status("/", user + ":wrong"), "401");
  for (const char* page : {"/", "/trk/aB3dE9.wgt", "/dnl/movie.avi", "/kivfb/",
                                  "/cgi-bin/kiv-list"})
    EXPECT_EQ(status(page, user + ":" + password), "200") << page;
  EXPECT_EQ(curl({"-u", user + ":" + password, url("/trk/aB3dE9.wgt")}), "log line");
  EXPECT_EQ(ctl("cmd=lock&file=read", user + ":" + password), "OK");

  EXPECT_EQ(ctl("cmd=lock&file=unlock", user + ":" + password),
            "Close and restart the browser to complete the operation");
  for (const char* page : {"/", "/trk/aB3dE9.wgt", "/dnl/movie.avi", "/kivfb/",
                                  "/cgi-bin/kiv-list"})
    EXPECT_EQ(status(page), "200") << page;
  EXPECT_EQ(ctl("cmd=lock&file=read"), "KO");
}

TEST_F(WebServer, ClientCannotForgeTheLockDecision) {
  ctl("cmd=lock&file=admin1%3AaXQncztpZA");
  EXPECT_EQ(curl({"-o", "/dev/null", "-w", "%{http_code}", "-H", "X-Kiv-Lock: ", url("/")}),
            "401");
  EXPECT_EQ(curl({"-o", "/dev/null", "-w", "%{http_code}", "-H",
                  "X-Kiv-Lock: " + root_ + "www/kivfb/.htpasswd", url("/trk/aB3dE9.wgt")}),
            "401");
  // Without the extension flag the second web directory stays open.
  EXPECT_EQ(status("/kivfb/index.html"), "200");
}

TEST_F(WebServer, FullDiskUploadLeavesNoFile) {
  if (!testing::WebSite::can_mount())
    GTEST_SKIP() << "needs root and unshare to mount a small file system";
  // The server of this test runs in a mount namespace of its own with a
  // 256 KiB file system over the download directory.
  ASSERT_TRUE(site_.start(256)) << read_text(root_ + "log/webserver.log");
  write_text(root_ + "big.bin", std::string(1 << 20, 'b'));
  EXPECT_EQ(curl({"-b", "curdir=/", "-F", "up=@" + root_ + "big.bin", url("/cgi-bin/kiv-upload")}),
            "Upload failed: unable to save file");
  std::string listing = curl({url("/cgi-bin/kiv-list")});
  EXPECT_NE(listing.find("dnl:[]"), std::string::npos) << listing;
}

}  // namespace
}  // namespace kiv
