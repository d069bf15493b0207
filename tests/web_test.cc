// The installation behind the real web server, reached with curl on
// loopback: uploads and the access lock as a browser meets them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/dir.h"
#include "common/file.h"
#include "common/origin.h"
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
  std::string status(const std::string& path, const std::string& credentials = "",
                     const std::string& host = "") {
    if (host.empty()) return site_.status(path, credentials);
    return curl({"-o", "/dev/null", "-w", "%{http_code}", "-H", "Host: " + host, url(path)});
  }
  std::string ctl(const std::string& query, const std::string& credentials = "") {
    return site_.ctl(query, credentials);
  }
  /// The response's headers, each line without "\r".
  std::string headers(const std::string& path, std::vector<std::string> args = {}) {
    args.insert(args.end(), {"-D", "-", "-o", "/dev/null", url(path)});
    std::string raw = curl(args), lines;
    for (char c : raw)
      if (c != '\r') lines += c;
    return lines;
  }
  static std::string header(const std::string& headers, const std::string& name) {
    // Names without regard to case (the programs send "Content-type").
    auto lower = [](std::string text) {
      for (char& c : text) c = char(tolower(c));
      return text;
    };
    size_t at = lower(headers).find("\n" + lower(name) + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 3;
    return headers.substr(at, headers.find('\n', at) - at);
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

TEST_F(WebServer, EachLocationGetsItsPolicy) {
  const std::string page =
      "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
      "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
      "frame-ancestors 'none'";
  write_text(www_ + "app.js", "'use strict';");
  mkdir((www_ + "js").c_str(), 0755);
  write_text(www_ + "js/main.js", "'use strict';");
  write_text(www_ + "style.css", "body{}");
  write_text(dnl_ + "evil.html", "<script>parent.pwned=1</script>");
  write_text(www_ + "trk/_wversion.nfo", "<b>0.5</b>");
  write_text(www_ + "version.html", "<script>parent.pwned=1</script>");
  const std::string markup = "%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E";
  struct Case {
    std::string path;
    std::string policy;  // "" : no page of the box at all
  };
  const std::vector<Case> cases = {
      {"/", page}, {"/index.html", page}, {"/app.js", page}, {"/style.css", page},
      {"/js/main.js", page}, {"/js//main.js", page},
      {"/cgi-bin/kiv-list", "sandbox"},
      {"/cgi-bin/kiv-list?cmd=tree&file=%3Cb%3E", "sandbox"},
      {"/cgi-bin/kiv-ctl?cmd=rename&file=" + markup + "&para=y", "sandbox"},
      {"/cgi-bin/kiv-ctl/extra?cmd=lock&file=read", "sandbox"},
      {"/cgi-bin/kiv-torrent?file=" + markup, "sandbox"},
      {"/cgi-bin/kiv-upload", "sandbox"}, {"//cgi-bin/kiv-list", "sandbox"},
      {"/dnl/evil.html", "sandbox"}, {"//dnl/evil.html", "sandbox"},
      {"/dnl//evil.html", "sandbox"}, {"/%64nl/evil.html", "sandbox"},
      {"/./dnl/evil.html", "sandbox"}, {"/trk/aB3dE9.wgt", "sandbox"},
      {"/trk/_wversion.nfo", "sandbox"},
  };
  for (const Case& c : cases) {
    std::string got = headers(c.path);
    EXPECT_NE(got.find(" 200 "), std::string::npos) << c.path << "\n" << got;
    EXPECT_EQ(header(got, "Content-Security-Policy"), c.policy) << c.path;
    EXPECT_EQ(header(got, "X-Content-Type-Options"), "nosniff") << c.path;
  }
  // The programs' bytes are kept: the policy is the web server's.
  EXPECT_EQ(curl({url("/cgi-bin/kiv-ctl?cmd=rename&file=" + markup + "&para=y")}),
            "File not found: " + dnl_ + "<img src=x onerror=alert(1)>");
  for (const char* path : {"/version.html", "//version.html", "/./version.html",
                           "/dnl/../version.html", "/%76ersion.html", "/version%2Ehtml"})
    EXPECT_EQ(status(path), "403") << path;
}

// A site that points a name of its own at the box (DNS rebinding) is
// same-origin with it to the browser: it must read no download, no job log,
// run no program. The web server looks up the names kivd publishes; the
// programs' unit test reads the same table.
TEST_F(WebServer, ForeignHostNamesReadNothingOfTheBox) {
  installation_.publish(std::string("hosts=") + testing::kCaseAllowed + "\n");
  ASSERT_TRUE(publish_box_names(testing::kCaseOwnName, testing::kCaseAllowed));
  for (const testing::HostCase& c : testing::host_cases()) {
    for (const char* path : {"/dnl/movie.avi", "/trk/aB3dE9.wgt", "/index.html"}) {
      std::string got = headers(path, {"-H", "Host: " + c.host});
      EXPECT_EQ(got.find(" 200 ") != std::string::npos, c.allowed) << c.host << path << "\n" << got;
    }
    if (!c.allowed) {
      EXPECT_NE(curl({"-H", "Host: " + c.host, url("/cgi-bin/kiv-ctl?cmd=mkdir&file=made")}), "OK")
          << c.host;
    }
  }
  EXPECT_NE(access((dnl_ + "made").c_str(), F_OK), 0);
  std::string refused = curl({"-H", "Host: evil.example", url("/dnl/movie.avi")});
  EXPECT_EQ(refused, "Request refused: unknown host name evil.example (to reach the box by this "
                     "name, add hosts=evil.example to kiv.conf in the installation root and start "
                     "kivd again)");
  EXPECT_EQ(status("/kivfb/index.html", "", "evil.example"), "421");
  // Nor one longer than kivd writes: it would be read for every request.
  std::string names = read_text(kBoxNamesPath);
  write_text(kBoxNamesPath, names + std::string(kBoxNamesMaxSize - names.size(), '\n'));
  EXPECT_EQ(status("/index.html", "", "media.example"), "200");
  write_text(kBoxNamesPath, names + std::string(kBoxNamesMaxSize + 1 - names.size(), '\n'));
  EXPECT_EQ(status("/index.html", "", "media.example"), "421");
  write_text(kBoxNamesPath, names);
  // A list that others could have written is not read.
  chmod(kBoxNamesPath, 0666);
  EXPECT_EQ(status("/index.html", "", "media.example"), "421");
  chmod(kBoxNamesPath, 0644);
  if (geteuid() == 0) {  // another user's copy
    ASSERT_EQ(chown(kBoxNamesPath, 65534, 65534), 0);
    EXPECT_EQ(status("/index.html", "", "media.example"), "421");
  }
}

// Of the web directory the box serves only its own: the page's files, the
// four programs, the downloads and the job logs; of the second one, only
// its owner's. What the programs' user (anyone who passes the lock,
// through "run") adds beside them is neither served nor run; a downloaded
// .htpasswd neither locks nor is served.
TEST_F(WebServer, ServesOnlyTheBoxsOwnFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  write_text(www_ + "planted.html", "<script>x</script>");
  ASSERT_EQ(chown((www_ + "planted.html").c_str(), 65534, 65534), 0);
  mkdir((www_ + "mine").c_str(), 0755);
  ASSERT_EQ(chown((www_ + "mine").c_str(), 65534, 65534), 0);
  write_text(www_ + "mine/index.html", "x");
  for (const char* name : {"www/kiv/cgi-bin/shell", "www/kivfb/cgi-bin/shell",
                           "www/kivfb/cgi-bin/mine"}) {
    write_text(root_ + name, "#!/bin/sh\necho; echo ran\n");
    chmod((root_ + name).c_str(), 0755);
  }
  ASSERT_EQ(chown((root_ + "www/kivfb/cgi-bin/shell").c_str(), 65534, 65534), 0);
  write_text(root_ + "www/kivfb/own.html", "<script>x</script>");  // as the programs' user writes it
  ASSERT_EQ(chown((root_ + "www/kivfb/own.html").c_str(), 65534, 65534), 0);
  write_text(dnl_ + ".htpasswd", "evil:$apr1$x$y\n");  // as cmd=wget of .../.htpasswd stores it
  struct Case {
    std::string path;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"/planted.html", "404"},          {"/mine/", "404"},
      {"/mine/index.html", "404"},       {"/cgi-bin/shell", "404"},
      {"/cgi-bin/shell/x", "404"},       {"/kivfb/cgi-bin/shell", "404"},
      {"/dnl/.htpasswd", "403"},         {"/dnl/movie.avi", "200"},
      {"/cgi-bin/kiv-list", "200"},      {"/kivfb/own.html", "404"},
      {"/kivfb/cgi-bin/mine", "200"},    {"/kivfb/index.html", "200"},
      {"/index.html", "200"},
  };
  for (const Case& c : cases) EXPECT_EQ(status(c.path), c.code) << c.path;
  EXPECT_EQ(ctl("cmd=lock&file=admin1%3AaXQncztpZA"),
            "Close and restart the browser to complete the operation");
  EXPECT_EQ(status("/dnl/movie.avi", "evil:x"), "401");
  EXPECT_EQ(status("/dnl/movie.avi", "admin1:it's;id"), "200");
  EXPECT_EQ(status("/dnl/.htpasswd", "admin1:it's;id"), "403");
}

// Text goes compressed where the client accepts it; what the user
// downloads goes as it is; the page's files are revalidated, not refetched.
TEST_F(WebServer, TextIsCompressedAndThePageRevalidated) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line of text " + std::to_string(i) + "\n";
  write_text(www_ + "index.html", "<html>" + text + "</html>");
  write_text(dnl_ + "notes.txt", text);
  write_text(www_ + "trk/aB3dE9.wgt", text);
  for (int i = 0; i < 50; ++i) write_text(dnl_ + "file" + std::to_string(i) + ".bin", "x");
  struct Case {
    std::string path;
    std::string encoding;
  };
  const std::vector<Case> cases = {
      {"/index.html", "gzip"},
      {"/cgi-bin/kiv-list", "gzip"},
      {"/dnl/notes.txt", ""},
      {"/trk/aB3dE9.wgt", ""},
      {"/cgi-bin/kiv-ctl?cmd=dow&file=notes.txt", ""},
  };
  for (const Case& c : cases) {
    std::string got = headers(c.path, {"-H", "Accept-Encoding: gzip"});
    EXPECT_NE(got.find(" 200 "), std::string::npos) << c.path << got;
    EXPECT_EQ(header(got, "Content-Encoding"), c.encoding) << c.path << got;
  }
  EXPECT_EQ(curl({"--compressed", url("/dnl/notes.txt")}), text);
  std::string first = headers("/index.html");
  EXPECT_EQ(header(first, "Cache-Control"), "no-cache");
  std::string etag = header(first, "ETag");
  ASSERT_FALSE(etag.empty()) << first;
  EXPECT_EQ(curl({"-o", "/dev/null", "-w", "%{http_code}", "-H", "If-None-Match: " + etag,
                  url("/index.html")}),
            "304");
}

// A preflight is answered without effect and no answer grants another
// site anything.
TEST_F(WebServer, NoAnswerGrantsCrossOriginAccess) {
  const std::vector<std::string> origin = {"-H", "Origin: http://evil.example"};
  std::string preflight =
      headers("/cgi-bin/kiv-ctl?cmd=mkdir&file=pre",
              {"-X", "OPTIONS", "-H", "Origin: http://evil.example", "-H",
               "Access-Control-Request-Method: GET", "-H", "Access-Control-Request-Headers: x-kiv"});
  EXPECT_NE(access((dnl_ + "pre").c_str(), F_OK), 0) << preflight;
  std::string all = preflight;
  for (const char* path : {"/", "/index.html", "/cgi-bin/kiv-list", "/cgi-bin/kiv-ctl?cmd=lock&file=read",
                           "/dnl/movie.avi", "/trk/aB3dE9.wgt", "/kivfb/index.html", "/no/such"}) {
    all += headers(path, origin);
    all += headers(path, {"-X", "OPTIONS", "-H", "Origin: http://evil.example"});
  }
  for (char& c : all) c = char(tolower(c));
  EXPECT_EQ(all.find("access-control-allow"), std::string::npos) << all;
}

// No other site's page can include what the box serves (as script, style
// sheet or image), a downloaded page, script or style sheet is only text,
// no link below the web directory is followed, and the programs see GET
// and POST only.
TEST_F(WebServer, WhatIsServedAndToWhom) {
  write_text(dnl_ + "x.js", "parent.pwned=1");
  write_text(dnl_ + "x.css", "body{}");
  write_text(dnl_ + "x.html", "<script>parent.pwned=1</script>");
  mkdir((root_ + "outside").c_str(), 0755);
  write_text(root_ + "outside/secret", "leak");
  symlink((root_ + "outside/secret").c_str(), (dnl_ + "pass").c_str());
  symlink((root_ + "outside").c_str(), (dnl_ + "out").c_str());
  symlink("movie.avi", (dnl_ + "inner").c_str());
  symlink((root_ + "outside/secret").c_str(), (www_ + "trk/aB3dE9.tor").c_str());
  write_text(root_ + "up.txt", "data");
  // As the installation makes them: links to one file.
  ASSERT_EQ(rename((www_ + "cgi-bin/kiv-list").c_str(), (root_ + "bin/kiv-list").c_str()), 0);
  ASSERT_EQ(symlink("../../../bin/kiv-list", (www_ + "cgi-bin/kiv-list").c_str()), 0);
  const std::string made = "/cgi-bin/kiv-ctl?cmd=mkdir&file=made";
  // Each path with the same method and the same answer: its code and, when
  // served, its type. The page's own documents get the page policy
  // ("default-src 'self'..."), everything else "sandbox".
  struct Case {
    std::string method;
    std::vector<std::string> paths;
    std::string code;
    std::string type;  // "": not compared
  };
  const std::vector<Case> cases = {
      {"GET", {"/dnl/x.js", "/dnl/x.css", "/%64nl//x.html", "/trk/aB3dE9.wgt"}, "200",
       "text/plain"},
      {"GET", {"/dnl/movie.avi"}, "200", "application/octet-stream"},
      {"GET", {"/cgi-bin/kiv-list", "/kivfb/cgi-bin/kiv-list"}, "200", "text/html;charset=utf-8"},
      {"GET", {"/index.html", "/kivfb/index.html"}, "200", "text/html"},
      {"HEAD", {"/index.html"}, "200", "text/html"},
      // dnl/inner: the programs' dow serves it.
      {"GET", {"/dnl/pass", "/dnl/out/secret", "/dnl/inner", "/trk/aB3dE9.tor"}, "403", ""},
      {"HEAD", {made, "/kivfb" + made}, "405", ""},
      {"OPTIONS", {made}, "405", ""},
      {"PUT", {"/cgi-bin/kiv-upload"}, "405", ""},
      {"DELETE", {"/cgi-bin/kiv-ctl?cmd=rem&file=movie.avi"}, "405", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-X", c.method, "-b", "curdir=/"};
    if (c.method == "HEAD") args = {"-I"};
    if (c.method == "PUT") args.insert(args.end(), {"-F", "up=@" + root_ + "up.txt"});
    for (const std::string& path : c.paths) {
      std::string got = headers(path, args);
      EXPECT_NE(got.find(" " + c.code + " "), std::string::npos) << c.method << path << got;
      if (!c.type.empty()) {
        EXPECT_EQ(header(got, "Content-Type"), c.type) << path;
      }
      std::string policy = path.ends_with("index.html") ? "default-src 'self'" : "sandbox";
      EXPECT_TRUE(header(got, "Content-Security-Policy").starts_with(policy)) << path << got;
      EXPECT_EQ(header(got, "Cross-Origin-Resource-Policy"), "same-origin") << path << got;
      EXPECT_EQ(header(got, "Allow"), c.code == "405" ? "GET, POST" : "") << path;
    }
  }
  EXPECT_FALSE(exists(dnl_ + "made"));
  EXPECT_FALSE(exists(dnl_ + "up.txt"));
  EXPECT_EQ(read_text(dnl_ + "movie.avi"), "film");
  EXPECT_EQ(curl({"-X", "OPTIONS", url("/cgi-bin/kiv-ctl?cmd=disk")}),
            "Request refused: method not served: OPTIONS");

  // A download directory that is itself a link (to a USB disk, say) is
  // served from where it leads.
  ASSERT_EQ(rename(dnl_.substr(0, dnl_.size() - 1).c_str(), (root_ + "usb").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "usb").c_str(), dnl_.substr(0, dnl_.size() - 1).c_str()), 0);
  ASSERT_TRUE(site_.start()) << read_text(root_ + "log/webserver.log");
  EXPECT_EQ(curl({url("/dnl/movie.avi")}), "film");
  EXPECT_EQ(status("/dnl/pass"), "403");
}

// However many connections bring them, an address gets a bounded number
// of wrong passwords judged; then its credentials are not even checked
// until the window has passed.
TEST_F(WebServer, WrongPasswordsAreBoundedPerAddress) {
  const int kMaxWrongPasswords = 10;  // as scripts/webserver.lua and the docs say
  ctl("cmd=lock&file=admin1%3AaXQncztpZA");
  // 20 connections at once, 40 different guesses.
  std::vector<std::string> args = {"-Z", "--parallel-max", "20", "-w", "%{http_code}\n"};
  for (int i = 0; i < 40; ++i)
    args.insert(args.end(), {"-o", "/dev/null",
                             "http://admin1:guess" + std::to_string(i) + "@127.0.0.1:" +
                                 std::to_string(site_.port()) + "/index.html"});
  std::string codes = curl(args);
  auto count = [&](const std::string& code) {
    int n = 0;
    for (size_t at = codes.find(code); at != std::string::npos; at = codes.find(code, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("401"), kMaxWrongPasswords) << codes;
  EXPECT_EQ(count("429"), 40 - kMaxWrongPasswords) << codes;
  // Even the right password waits; the page's own answers stay text.
  std::string refused = headers("/index.html", {"-u", "admin1:it's;id"});
  EXPECT_NE(refused.find(" 429 "), std::string::npos) << refused;
  EXPECT_FALSE(header(refused, "Retry-After").empty()) << refused;
  EXPECT_EQ(header(refused, "Content-Security-Policy"), "sandbox");
  // Requests without credentials still get the prompt.
  EXPECT_EQ(status("/index.html"), "401");
}

TEST_F(WebServer, SecondDirectoryProgramsAreLockedWithTheBox) {
  // Locked without the flag for the second web directory.
  ctl("cmd=lock&file=admin1%3AaXQncztpZA");
  for (const char* page :
       {"/kivfb/cgi-bin/kiv-ctl?cmd=lock&file=unlock", "/kivfb/cgi-bin/kiv-ctl?cmd=run&file=id",
        "/kivfb/cgi-bin/kiv-ctl/x?cmd=run&file=id", "/kivfb//cgi-bin/kiv-ctl?cmd=run&file=id",
        "/kivfb/./cgi-bin/kiv-list", "/kivfb/cgi-bin/", "/kivfb/cgi-bin"})
    EXPECT_EQ(status(page), "401") << page;
  EXPECT_EQ(access((www_ + ".htpasswd").c_str(), F_OK), 0);
  EXPECT_EQ(status("/kivfb/cgi-bin/kiv-list", "admin1:it's;id"), "200");
  EXPECT_EQ(status("/kivfb/index.html"), "200");  // the directory itself stays open
  EXPECT_EQ(ctl("cmd=lock&file=unlock", "admin1:it's;id"),
            "Close and restart the browser to complete the operation");
  EXPECT_EQ(status("/kivfb/cgi-bin/kiv-list"), "200");
}

TEST_F(WebServer, OtherSitesAndForeignNamesAreRefused) {
  std::string host = "127.0.0.1:" + std::to_string(site_.port());
  std::string rebound = "Request refused: unknown host name evil.example (to reach the box by "
                        "this name, add hosts=evil.example to kiv.conf in the installation root "
                        "and start kivd again)";
  std::string elsewhere = "Request refused: it was not sent by the box's own page";
  struct Case {
    std::vector<std::string> args;
    std::string answer;
    std::string made;  // in the download directory, only when obeyed
  };
  const std::vector<Case> cases = {
      {{"-H", "Origin: http://evil.example", "-H", "Sec-Fetch-Site: cross-site",
        url("/cgi-bin/kiv-ctl?cmd=run&file=mkdir+made1")},
       elsewhere, ""},
      {{"-H", "Host: evil.example:" + std::to_string(site_.port()),
        url("/cgi-bin/kiv-ctl?cmd=mkdir&file=made2")},
       rebound, ""},
      {{"-H", "Referer: http://evil.example/", url("/cgi-bin/kiv-list?cmd=tree&file=x")},
       elsewhere, ""},
      {{"-H", "Origin: null", "-b", "curdir=/", "-F", "up=@" + root_ + "up.txt",
        url("/cgi-bin/kiv-upload")},
       elsewhere, ""},
      {{"-H", "Origin: http://" + host, "-H", "Sec-Fetch-Site: same-origin",
        url("/cgi-bin/kiv-ctl?cmd=mkdir&file=made3")},
       "OK", "made3"},
      {{url("/cgi-bin/kiv-ctl?cmd=mkdir&file=made4")}, "OK", "made4"},
  };
  write_text(root_ + "up.txt", "data");
  for (const Case& c : cases) {
    EXPECT_EQ(curl(c.args), c.answer) << c.args[c.args.size() - 1];
  }
  std::vector<std::string> made;
  for (const Case& c : cases)
    if (!c.made.empty()) made.push_back(c.made);
  std::vector<std::string> names = *scan_directory(dnl_, ScanOrder::by_name);
  names.erase(std::remove(names.begin(), names.end(), "movie.avi"), names.end());
  EXPECT_EQ(names, made);
}

}  // namespace
}  // namespace kiv
