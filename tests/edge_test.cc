// Hostile requests at the browser edge, handed to the programs as the web
// server hands them over: each must leave one thing undone. (The same
// through the real web server and a real browser: web_test.cc and
// tests/browser/.)
#include <gtest/gtest.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "common/dir.h"
#include "common/file.h"
#include "tests/support/installation.h"

namespace kiv {
namespace {

using testing::kHeaders;
using testing::read_text;
using testing::write_text;

const std::string kElsewhere = "Request refused: it was not sent by the box's own page";
const std::string kType = "CONTENT_TYPE=multipart/form-data; boundary=----X1";
const std::string kHost = "HTTP_HOST=127.0.0.1:8080";
const std::string kNoHeader = "HTTP_X_KIV=";  // as if absent: the server drops empty headers
const std::string kLacks =
    "Request refused: it lacks the request header X-Kiv (the box's own page sends it; scripts "
    "add -H 'X-Kiv: 1')";

std::string multipart(const std::string& name) {
  return "------X1\r\nContent-Disposition: form-data; name=\"up\"; filename=\"" + name +
         "\"\r\n\r\ndata\r\n------X1--\r\n";
}

class Edge : public ::testing::Test {
 protected:
  testing::Installation installation_;
  std::string root_ = installation_.root();
  std::string www_ = root_ + "www/kiv/";
  std::string dnl_ = installation_.dnldir();

  void SetUp() override {
    write_text(dnl_ + "x", "x");
    mkdir((dnl_ + "sub").c_str(), 0755);
    mkdir((root_ + "outside").c_str(), 0755);
    // Links a download (an unpacked archive) may bring along.
    write_text(root_ + "outside/secret", "4:leak");
    write_text(www_ + "page.html", "page");
    symlink((root_ + "outside").c_str(), (dnl_ + "out").c_str());
    symlink("..", (dnl_ + "up").c_str());
    symlink((root_ + "outside/secret").c_str(), (dnl_ + "pass").c_str());
  }
};

struct Hostile {
  const char* what;
  const char* program;
  std::vector<std::string> env;
  std::string body;
  std::string answer;       // after the header block; empty: not compared
  std::string must_not_be;  // relative to the installation root; empty: none
  std::string must_not_show = "leak";  // what lies outside
};

TEST_F(Edge, HostileRequestsChangeNothing) {
  auto inode = [&](const std::string& path) {
    struct stat status;
    EXPECT_EQ(stat((root_ + path).c_str(), &status), 0) << path;
    return std::to_string(status.st_ino);
  };
  const std::string rebound =
      "Request refused: unknown host name evil.example (to reach the box by this name, add "
      "hosts=evil.example to kiv.conf in the installation root and start kivd again)";
  const std::vector<Hostile> cases = {
      {"image of another site", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=mkdir&file=made", kHost, "HTTP_SEC_FETCH_SITE=cross-site"}, "",
       kElsewhere, "www/kiv/dnl/made"},
      {"another port of the box's site", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=mkdir&file=made", kHost, "HTTP_SEC_FETCH_SITE=same-site"}, "",
       kElsewhere, "www/kiv/dnl/made"},
      {"form of another site", "ctl/kiv-ctl",
       {"CONTENT_LENGTH=19", kHost, "HTTP_ORIGIN=http://evil.example"}, "cmd=mkdir&file=made",
       kElsewhere, "www/kiv/dnl/made"},
      {"sandboxed frame", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=mkdir&file=made", kHost, "HTTP_ORIGIN=null"}, "", kElsewhere,
       "www/kiv/dnl/made"},
      {"link on another site", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=mkdir&file=made", kHost, "HTTP_REFERER=http://evil.example/"}, "",
       kElsewhere, "www/kiv/dnl/made"},
      {"no-cors fetch without referrer or page header", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=run&file=id > PWNED.txt", kHost, kNoHeader}, "", kLacks,
       "www/kiv/dnl/PWNED.txt"},
      {"form post without page header", "ctl/kiv-ctl", {"CONTENT_LENGTH=19", kNoHeader},
       "cmd=mkdir&file=made", kLacks, "www/kiv/dnl/made"},
      // (Methods but GET and POST are the web server's to refuse: web_test.cc.)
      {"preflight carrying the command", "ctl/kiv-ctl",
       {"REQUEST_METHOD=OPTIONS", "QUERY_STRING=cmd=mkdir&file=made", kHost, kNoHeader}, "",
       kLacks, "www/kiv/dnl/made"},
      {"upload without page header", "upload/kiv-upload",
       {"HTTP_COOKIE=curdir=/", kType, kNoHeader}, multipart("up.txt"), kLacks,
       "www/kiv/dnl/up.txt"},
      {"listing without page header", "list/kiv-list", {"QUERY_STRING=curdir=/", kNoHeader}, "",
       kLacks, "www/kiv/dnl/made"},
      {"torrent without page header", "torrent/kiv-torrent", {"QUERY_STRING=file=x", kNoHeader},
       "", kLacks, "www/kiv/dnl/made"},
      {"lock taken over from another site", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=lock&file=admin1:c2VjcmV0MQ:1", kHost,
        "HTTP_SEC_FETCH_SITE=cross-site"},
       "", kElsewhere, "www/kiv/.htpasswd"},
      {"upload from another site", "upload/kiv-upload",
       {"HTTP_COOKIE=curdir=/", kType, kHost, "HTTP_ORIGIN=http://evil.example"},
       multipart("up.txt"), kElsewhere, "www/kiv/dnl/up.txt"},
      {"rebound name of another site", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=mkdir&file=made", "HTTP_HOST=evil.example:8080",
        "HTTP_SEC_FETCH_SITE=same-origin"},
       "", rebound, "www/kiv/dnl/made"},
      {"rebound upload", "upload/kiv-upload",
       {"HTTP_COOKIE=curdir=/", kType, "HTTP_HOST=Evil.Example."}, multipart("up.txt"),
       rebound, "www/kiv/dnl/up.txt"},
      {"markup in the host name", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=mkdir&file=made", "HTTP_HOST=<img src=x onerror=alert(1)>"}, "",
       "Request refused: unknown host name &lt;img src=x onerror=alert(1)&gt; (to reach the box "
       "by this name, add hosts=&lt;img src=x onerror=alert(1)&gt; to kiv.conf in the "
       "installation root and start kivd again)",
       "www/kiv/dnl/made"},
      {"upload into an absolute directory", "upload/kiv-upload",
       {"HTTP_COOKIE=curdir=//" + root_ + "outside", kType}, multipart("up.txt"), "",
       "outside/up.txt"},
      {"upload into an encoded absolute directory", "upload/kiv-upload",
       {"HTTP_COOKIE=curdir=/%2F" + root_ + "outside", kType}, multipart("up.txt"), "",
       "outside/up.txt"},
      {"upload above the download directory", "upload/kiv-upload",
       {"HTTP_COOKIE=curdir=/../", kType}, multipart("up.txt"),
       "Upload failed: directory outside the download directory", "www/kiv/up.txt"},
      {"upload to a later parent", "upload/kiv-upload",
       {"HTTP_COOKIE=curdir=/sub/../..", kType}, multipart("up.txt"),
       "Upload failed: directory outside the download directory", "www/kiv/up.txt"},
      {"rename out of the download directory", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=rename&file=x&para=../x"}, "", "Filename error (contains /..) ../x",
       "www/kiv/x"},
      {"rename to a lock file", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=rename&file=x&para=sub/.htpasswd"}, "",
       "Reserved file name: sub/.htpasswd", "www/kiv/dnl/sub/.htpasswd"},
      {"copy over the lock of the programs", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=copy&file=x&para=../cgi-bin/.htpasswd"}, "",
       "Filename error (contains /..) " + dnl_ + "../cgi-bin/.htpasswd",
       "www/kiv/cgi-bin/.htpasswd"},
      {"copy to a lock file", "ctl/kiv-ctl", {"QUERY_STRING=cmd=copy&file=x&para=sub/.htpasswd"},
       "", "Reserved file name: " + dnl_ + "sub/.htpasswd", "www/kiv/dnl/sub/.htpasswd"},
      {"copy a lock file into a directory", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=copy&file=.htpasswd&para=sub"}, "",
       "Reserved file name: " + dnl_ + "sub/.htpasswd", "www/kiv/dnl/sub/.htpasswd"},
      {"directory out of the download directory", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=mkdir&file=sub/../../made"}, "",
       "Filename error (contains /..) " + dnl_ + "sub/../../made", "www/kiv/made"},
      {"directory named as a lock file", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=mkdir&file=sub/.htpasswd/"}, "",
       "Reserved file name: " + dnl_ + "sub/.htpasswd/", "www/kiv/dnl/sub/.htpasswd"},
      {"archive out of the download directory", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=targz&file=../trk"}, "", "Filename error (contains /..) " + dnl_ + "../trk",
       "www/kiv/trk.tar.gz"},
      {"URL that is an option", "ctl/kiv-ctl", {"QUERY_STRING=cmd=wget&file=--version"}, "",
       "Invalid URL: it must not begin with \"-\"", "www/kiv/dnl/index.html"},
      // Cookies are shared by every port of the host: another port's page
      // sets them.
      {"target from a cookie", "ctl/kiv-ctl", {"CONTENT_LENGTH=15", "HTTP_COOKIE=para=stolen"},
       "cmd=copy&file=x", "", "www/kiv/dnl/stolen"},
      {"command from a cookie", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=disk", "HTTP_COOKIE=cmd=mkdir; file=made"}, "", "",
       "www/kiv/dnl/made"},
      {"folder from a cookie of another name", "upload/kiv-upload",
       {"HTTP_COOKIE=xcurdir=/sub; curdir=/", kType}, multipart("up.txt"), "",
       "www/kiv/dnl/sub/up.txt"},
      // Links inside the download directory that lead out of it.
      {"download through a link", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=dow&curdir=/out&file=" + inode("outside/secret"), kNoHeader}, "",
       "Filename error (contains /..) " + dnl_ + "/out", ""},
      {"download of a link", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=dow&file=" + inode("outside/secret")}, "",
       "Filename error (contains /..) " + dnl_ + "/pass", ""},
      {"listing through a link", "list/kiv-list", {"QUERY_STRING=curdir=/out"}, "", "", "",
       "secret"},
      {"torrent through a link", "torrent/kiv-torrent", {"QUERY_STRING=file=out/secret"}, "",
       "Filename error (contains /..) " + dnl_ + "/out/secret", ""},
      {"removal through a link", "ctl/kiv-ctl", {"QUERY_STRING=cmd=rem&file=out/secret"}, "",
       "filename error (contains /..) " + dnl_ + "out/secret", ""},
      {"removal through the parent link", "ctl/kiv-ctl", {"QUERY_STRING=cmd=rem&file=up/page.html"},
       "", "filename error (contains /..) " + dnl_ + "up/page.html", ""},
      {"copy from above", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=copy&file=../../../outside/secret&para=got"}, "",
       "Filename error (contains /..) " + dnl_ + "../../../outside/secret", "www/kiv/dnl/got"},
      {"copy through a link", "ctl/kiv-ctl", {"QUERY_STRING=cmd=copy&file=out/secret&para=got"},
       "", "Filename error (contains /..) " + dnl_ + "out/secret", "www/kiv/dnl/got"},
      {"copy into a link", "ctl/kiv-ctl", {"QUERY_STRING=cmd=copy&file=x&para=out/x"}, "",
       "Filename error (contains /..) " + dnl_ + "out/x", "outside/x"},
      {"rename from above", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=rename&file=../../../outside/secret&para=got"}, "",
       "Filename error (contains /..) " + dnl_ + "../../../outside/secret", "www/kiv/dnl/got"},
      {"rename through a link", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=rename&file=out/secret&para=got"}, "",
       "Filename error (contains /..) " + dnl_ + "out/secret", "www/kiv/dnl/got"},
      {"rename into a link", "ctl/kiv-ctl", {"QUERY_STRING=cmd=rename&file=x&para=out/x"}, "",
       "Filename error (contains /..) out/x", "outside/x"},
      {"directory through a link", "ctl/kiv-ctl", {"QUERY_STRING=cmd=mkdir&file=out/made"}, "",
       "Filename error (contains /..) " + dnl_ + "out/made", "outside/made"},
      {"archive through a link", "ctl/kiv-ctl", {"QUERY_STRING=cmd=targz&file=out/secret"}, "",
       "Filename error (contains /..) " + dnl_ + "out/secret", "outside/secret.tar.gz"},
      {"torrent job through a link", "ctl/kiv-ctl", {"QUERY_STRING=cmd=ctor&file=out/secret"},
       "", "Filename error (contains /..) " + dnl_ + "out/secret", ""},
      {"download job into a link", "ctl/kiv-ctl",
       {"QUERY_STRING=cmd=wget&file=http://127.0.0.1:1/&curdir=/out"}, "",
       "filename error (contains /..) " + dnl_ + "/out", ""},
      {"upload into a link", "upload/kiv-upload", {"HTTP_COOKIE=curdir=/out", kType},
       multipart("up.txt"), "Upload failed: directory outside the download directory",
       "outside/up.txt"},
  };
  write_text(dnl_ + ".htpasswd", "planted:x\n");  // as a download might have named it
  for (const Hostile& c : cases) {
    testing::ChildResult result = installation_.run(c.program, c.env, c.body);
    EXPECT_EQ(result.exit_code(), 0) << c.what << result.err;
    if (!c.answer.empty()) {
      EXPECT_EQ(result.out, kHeaders + c.answer) << c.what;
    }
    if (!c.must_not_be.empty()) {
      EXPECT_FALSE(exists(root_ + c.must_not_be)) << c.what;
    }
    EXPECT_EQ(result.out.find(c.must_not_show), std::string::npos) << c.what;
  }
  EXPECT_EQ(read_text(root_ + "outside/secret"), "4:leak");
  EXPECT_EQ(read_text(www_ + "page.html"), "page");
  // Nothing was started either: the job directory is as empty as before.
  EXPECT_EQ(scan_directory(installation_.trkdir(), ScanOrder::by_name)->size(), 0u);
  EXPECT_EQ(read_text(dnl_ + "x"), "x");
}

TEST_F(Edge, TheBoxsOwnRequestsKeepTheirAnswers) {
  installation_.publish("hosts=box.test,media.example\n");
  const std::vector<std::vector<std::string>> allowed = {
      {},  // a tool: no browser marks
      {kHost, "HTTP_SEC_FETCH_SITE=same-origin", "HTTP_ORIGIN=http://127.0.0.1:8080"},
      {kHost, "HTTP_ORIGIN=http://127.0.0.1:8080", "REQUEST_METHOD=POST"},
      {kHost, "HTTP_REFERER=http://127.0.0.1:8080/", "REQUEST_METHOD=GET"},
      {"HTTP_HOST=box.test:8080", "HTTP_REFERER=http://box.test:8080/"},
      {"HTTP_HOST=MEDIA.example", "HTTP_SEC_FETCH_SITE=none"},
      {"HTTP_HOST=localhost:8080", "HTTP_SEC_FETCH_SITE=same-origin"},
      {"HTTP_HOST=[::1]:8080", "HTTP_ORIGIN=http://[::1]:8080"},
  };
  int n = 0;
  for (std::vector<std::string> env : allowed) {
    std::string name = "made" + std::to_string(++n);
    env.push_back("QUERY_STRING=cmd=mkdir&file=" + name);
    EXPECT_EQ(installation_.run("ctl/kiv-ctl", env).out, kHeaders + "OK") << name;
    EXPECT_TRUE(exists(dnl_ + name)) << name;
  }
  // A download link is followed without the page header.
  write_text(dnl_ + "sub/file.txt", "content");
  struct stat file;
  ASSERT_EQ(stat((dnl_ + "sub/file.txt").c_str(), &file), 0);
  testing::ChildResult download = installation_.run(
      "ctl/kiv-ctl", {"QUERY_STRING=cmd=dow&curdir=/sub&file=" + std::to_string(file.st_ino),
                      kHost, kNoHeader, "REQUEST_METHOD=GET"});
  EXPECT_TRUE(download.out.ends_with("\ncontent")) << download.out;
  testing::ChildResult list =
      installation_.run("list/kiv-list", {kHost, "HTTP_SEC_FETCH_SITE=same-origin"});
  EXPECT_TRUE(list.out.starts_with(kHeaders + "{curdir:")) << list.out;
  testing::ChildResult stored = installation_.run(
      "upload/kiv-upload", {"HTTP_COOKIE=curdir=/sub", kType, kHost, "HTTP_ORIGIN=http://127.0.0.1:8080"},
      multipart("up.txt"));
  EXPECT_TRUE(stored.out.ends_with("Location: /\n\n")) << stored.out;
  EXPECT_EQ(read_text(dnl_ + "sub/up.txt"), "data");
}

TEST_F(Edge, PlantedConfigurationIsNotTrusted) {
  const std::string conf = "/tmp/kiv.conf";
  std::string good = read_text(conf);
  struct Planted {
    const char* what;
    std::function<void()> plant;
  };
  const std::vector<Planted> cases = {
      {"writable by others", [&] { chmod(conf.c_str(), 0666); }},
      {"writable by group", [&] { chmod(conf.c_str(), 0620); }},
      {"owned by another user", [&] { EXPECT_EQ(chown(conf.c_str(), 65534, 65534), 0); }},
      {"a symbolic link", [&] {
         write_text(root_ + "copy", good);
         unlink(conf.c_str());
         EXPECT_EQ(symlink((root_ + "copy").c_str(), conf.c_str()), 0);
       }},
      {"a directory", [&] { unlink(conf.c_str()); mkdir(conf.c_str(), 0755); }},
      {"a pipe", [&] { unlink(conf.c_str()); mkfifo(conf.c_str(), 0644); }},
  };
  for (const Planted& c : cases) {
    if (geteuid() != 0 && std::string(c.what) == "owned by another user") continue;
    c.plant();
    testing::ChildResult result =
        installation_.run("ctl/kiv-ctl", {"QUERY_STRING=cmd=mkdir&file=made"});
    EXPECT_EQ(result.exit_code(), 1) << c.what;
    EXPECT_TRUE(result.out.starts_with("CRITICAL ERROR: unsafe temporary /tmp/kiv.conf (")) << result.out;
    EXPECT_TRUE(result.out.ends_with("): remove it and start kivd again")) << result.out;
    EXPECT_FALSE(exists(dnl_ + "made")) << c.what;
    rmdir(conf.c_str());
    unlink(conf.c_str());
    installation_.publish();
  }
  // The daemon's own copy, read by root or by the user the daemon runs as.
  EXPECT_EQ(installation_.run("ctl/kiv-ctl", {"QUERY_STRING=cmd=mkdir&file=made"}).out,
            kHeaders + "OK");
}

}  // namespace
}  // namespace kiv
