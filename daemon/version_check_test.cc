#include "daemon/version_check.h"

#include <arpa/inet.h>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "tests/support/child.h"
#include "tests/support/processes.h"

namespace kiv {
namespace {

using testing::read_text;
using testing::Running;
using testing::TempDir;
using testing::write_text;

TEST(PublishedVersion, FirstLineWhenItLooksLikeAVersion) {
  EXPECT_EQ(published_version("0.5.0\nrest"), "0.5.0");
  EXPECT_EQ(published_version("0.5.0"), "0.5.0");
  EXPECT_EQ(published_version("0.4.0\r\n"), "0.4.0");
  EXPECT_EQ(published_version("1.0-rc2+b1\n"), "1.0-rc2+b1");
  EXPECT_EQ(published_version(std::string(kVersionLineLength, '1')),
            std::string(kVersionLineLength, '1'));
}

TEST(PublishedVersion, RefusesWhatIsNoVersion) {
  for (std::string_view text : {"", "\n0.5.0\n", "<b>0.5</b>\n", "0.5 beta\n", "abc\n",
                                "0.5\r\r\n", "<!DOCTYPE html>\n"})
    EXPECT_EQ(published_version(text), std::nullopt) << text;
  EXPECT_EQ(published_version(std::string(kVersionLineLength + 1, '1')), std::nullopt);
}

TEST(ReleaseNotice, TwoLinesWithEscapedTexts) {
  EXPECT_EQ(release_notice("0.3.9", "http://127.0.0.1:8/r?a=1&b=<2>"),
            "Your version of kiv is <b>0.4.0</b> while the latest stable version is reported "
            "to be <b>0.3.9</b>\n"
            "Check on <a href=\"http://127.0.0.1:8/r?a=1&amp;b=&lt;2&gt;\">"
            "http://127.0.0.1:8/r?a=1&amp;b=&lt;2&gt;</a> to see if you need to upgrade to a "
            "newer version\n");
  EXPECT_NE(release_notice("<x>", "p").find("<b>&lt;x&gt;</b>"), std::string::npos);
}

TEST(VersionDownloadCommand, AddressIsQuoted) {
  EXPECT_EQ(version_download_command("/opt/bin/wget", "http://h/$x\"y"),
            "(ulimit -f 64; /opt/bin/wget 'http://h/$x\"y/version.html'); "
            "touch version.html");
}

/// A real HTTP server on 127.0.0.1 serving one directory, for the whole suite.
class CheckVersion : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<TempDir>();
    port_ = testing::free_port();
    server_ = std::make_unique<Running>(
        std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", std::to_string(port_),
                                 "--bind", "127.0.0.1", "--directory", served_->path()},
        served_->path());
    testing::eventually(listening);
    setenv("no_proxy", "127.0.0.1", 1);  // a proxy setting must not send loopback away
  }
  static void TearDownTestSuite() {
    server_.reset();
    served_.reset();
  }
  static bool listening() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port_));
    return connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }

  void SetUp() override {
    ASSERT_TRUE(listening());
    Config& c = config();
    c.wget = "wget";
    c.dwww = root_.path() + "www/";
    c.trkdir = c.dwww + "trk/";
    mkdir(c.dwww.c_str(), 0755);
    mkdir(c.trkdir.c_str(), 0755);
    unlink((served_->path() + "version.html").c_str());
  }

  std::string page() const { return "http://127.0.0.1:" + std::to_string(port_) + "/rel"; }
  void publish(const std::string& text) {
    mkdir((served_->path() + "rel").c_str(), 0755);
    write_text(served_->path() + "rel/version.html", text);
  }
  std::string copy() const { return config().dwww + "version.html"; }
  std::string notice() const { return config().trkdir + "_wversion.nfo"; }
  bool has_notice() const { return access(notice().c_str(), F_OK) == 0; }
  /// Leaves a local copy last modified `age` seconds before `now`.
  void age_copy(time_t now, long age) {
    write_text(copy(), "old\n");
    timespec times[2] = {{now - age, 0}, {now - age, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, copy().c_str(), times, 0), 0);
  }

  static inline std::unique_ptr<TempDir> served_;
  static inline std::unique_ptr<Running> server_;
  static inline int port_ = 0;
  TempDir root_;
};

TEST_F(CheckVersion, WaitsMoreThanADay) {
  publish("0.5.0\n");
  // Counts only when the clock did not tick during the check, which a
  // loaded machine can make it do several times.
  for (int attempt = 0; attempt < 10; ++attempt) {
    time_t now = time(nullptr);
    age_copy(now, kCheckInterval);
    check_version(page());
    if (time(nullptr) == now) break;
  }
  EXPECT_EQ(read_text(copy()), "old\n");
  EXPECT_FALSE(has_notice());

  age_copy(time(nullptr), kCheckInterval + 1);
  check_version(page());
  EXPECT_EQ(read_text(copy()), "0.5.0\n");
  struct stat st;
  ASSERT_EQ(stat(copy().c_str(), &st), 0);
  EXPECT_LE(time(nullptr) - st.st_mtime, 5);
  EXPECT_EQ(read_text(notice()), release_notice("0.5.0", page()));
}

TEST_F(CheckVersion, NoCopyNoCheck) {
  publish("0.5.0\n");
  check_version(page());
  EXPECT_NE(access(copy().c_str(), F_OK), 0);
  EXPECT_FALSE(has_notice());
}

TEST_F(CheckVersion, SameVersionLeavesNoNotice) {
  for (const char* text : {"0.4.0\n", "0.4.0\r\n", "0.4.0"}) {
    publish(text);
    age_copy(time(nullptr), kCheckInterval + 1);
    check_version(page());
    EXPECT_EQ(read_text(copy()), text);
    EXPECT_FALSE(has_notice()) << text;
  }
}

TEST_F(CheckVersion, OlderVersionIsReportedToo) {
  publish("0.3.9\n");
  age_copy(time(nullptr), kCheckInterval + 1);
  check_version(page());
  EXPECT_EQ(read_text(notice()), release_notice("0.3.9", page()));
}

TEST_F(CheckVersion, ImplausibleTextLeavesTheOldNotice) {
  write_text(notice(), "earlier notice\n");
  for (std::string text : {std::string("<script>alert(1)</script>\n"),
                           std::string(200, '9') + "\n", std::string("<html>\n")}) {
    publish(text);
    age_copy(time(nullptr), kCheckInterval + 1);
    check_version(page());
    EXPECT_EQ(read_text(notice()), "earlier notice\n");
  }
}

TEST_F(CheckVersion, FailedDownloadIsTriedAgainNextDay) {
  unlink((served_->path() + "rel/version.html").c_str());  // 404
  age_copy(time(nullptr), kCheckInterval + 1);
  check_version(page());
  EXPECT_FALSE(has_notice());
  struct stat st;
  ASSERT_EQ(stat(copy().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_LE(time(nullptr) - st.st_mtime, 5);
}

TEST_F(CheckVersion, HugeFileIsCutShort) {
  publish("0.6.0\n" + std::string(200000, 'x'));
  age_copy(time(nullptr), kCheckInterval + 1);
  check_version(page());
  struct stat st;
  ASSERT_EQ(stat(copy().c_str(), &st), 0);
  EXPECT_LE(st.st_size, off_t(kVersionFileBlocks) * 512);
  EXPECT_EQ(read_text(notice()), release_notice("0.6.0", page()));
}

// An installed box: kivd runs as an unprivileged user in a sticky web
// directory, where the copy that root touched to opt in cannot be removed.
// The check must then stay away rather than pile up version.html.1, .2, ...
// once a minute.
TEST_F(CheckVersion, CopyItCannotRemoveStopsTheCheck) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  publish("0.5.0\n");
  ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(config().dwww.c_str(), 01777), 0);
  ASSERT_EQ(chmod(config().trkdir.c_str(), 0777), 0);
  age_copy(time(nullptr), kCheckInterval + 1);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    check_version(page());
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_text(copy()), "old\n");
  EXPECT_NE(access((copy() + ".1").c_str(), F_OK), 0);
  EXPECT_FALSE(has_notice());
}

}  // namespace
}  // namespace kiv
