#include "common/config.h"
#include "common/origin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/child.h"

namespace kiv {
namespace {

using testing::read_text;
using testing::run_in_child;
using testing::write_text;

class ConfigText : public ::testing::Test {
 protected:
  void SetUp() override {
    config() = Config{};
    config().droo = "/r/";
    config().dbin = "/r/bin/";
    config().wget = "/r/bin/wget";
    config().ctor = "ctorrent";
    config().dwww = "/r/www/kiv/";
    config().dufb = "/r/www/kivfb/";
    config().trkdir = "/r/www/kiv/trk/";
    config().dnldir = "/r/www/kiv/dnl/";
  }
};

TEST_F(ConfigText, CommentsAndBlankLinesKeepTheDefaults) {
  apply_config_text("# nothing here\n\n   \t\r\n#dwww=/x/\n");
  EXPECT_EQ(config().dwww, "/r/www/kiv/");
  EXPECT_EQ(config().dnldir, "/r/www/kiv/dnl/");
}

TEST_F(ConfigText, KeyRules) {
  apply_config_text("dwww=/srv/web dnldir=/data/ # local\n");
  EXPECT_EQ(config().dwww, "/srv/web/");
  EXPECT_EQ(config().trkdir, "/srv/web/trk/");
  EXPECT_EQ(config().dnldir, "/data/");

  apply_config_text("DWWW=/other/\tDUFB=/fb\r\ndbin=/opt/bin/\n");
  EXPECT_EQ(config().dwww, "/other/");
  EXPECT_EQ(config().trkdir, "/other/trk/");
  EXPECT_EQ(config().dufb, "/fb/");
  EXPECT_EQ(config().dbin, "/opt/bin/");
  EXPECT_EQ(config().wget, "/r/bin/wget");  // nothing follows dbin

  apply_config_text("wget= ctor=\nctor=/usr/bin/ctorrent dnldir=/a=b pidfile=/p");
  EXPECT_EQ(config().wget, "/r/bin/wget");
  EXPECT_EQ(config().ctor, "/usr/bin/ctorrent");
  EXPECT_EQ(config().dnldir, "/a=b");
  EXPECT_EQ(config().pidfile, "/p");

  apply_config_text("pidfile=/first pidfile=");  // no pid file
  EXPECT_EQ(config().pidfile, "");
}

TEST_F(ConfigText, HostNamesArePublishedOnlyWhenSet) {
  std::string eight = resolved_config_text();
  EXPECT_EQ(eight.find("hosts"), std::string::npos);
  apply_config_text("HOSTS=nas.example,media.example\n");
  EXPECT_EQ(config().hosts, "nas.example,media.example");
  EXPECT_EQ(resolved_config_text(), eight + "hosts=nas.example,media.example\n");
  // Read back by a program, the copy gives the same names.
  config().hosts.clear();
  apply_config_text(eight + "hosts=nas.example,media.example\n");
  EXPECT_EQ(config().hosts, "nas.example,media.example");
}

TEST_F(ConfigText, TorrentSettingsArePublishedOnlyWhenSet) {
  std::string before = resolved_config_text();
  apply_config_text("aria2= bt_port=51413 seed_ratio=2.0\nseed_time=30 dht=off aria2=/opt/aria2c\n");
  std::string settings =
      "aria2=/opt/aria2c\nbt_port=51413\nseed_ratio=2.0\nseed_time=30\ndht=off\n";
  EXPECT_EQ(resolved_config_text(), before + settings);
  Config back;
  EXPECT_EQ(parse_config_text(back, before + settings), std::nullopt);
  EXPECT_EQ(std::vector({back.aria2, back.bt_port, back.seed_ratio, back.seed_time, back.dht}),
            std::vector<std::string>({"/opt/aria2c", "51413", "2.0", "30", "off"}));
}

TEST_F(ConfigText, LongLinesAreReadInPieces) {
  // A comment started in the first 999 characters does not reach the rest.
  std::string line = "#" + std::string(kConfigPieceLength - 1, 'c') + "dnldir=/piece/\n";
  apply_config_text(line);
  EXPECT_EQ(config().dnldir, "/piece/");
}

TEST(ConfigErrors, TheFirstBadTokenByItsLine) {
  struct Case {
    std::string text;
    std::optional<std::string> error;  // "<line>: <message>"
    std::string hosts;
  } cases[] = {
      {"dwww=/x/ colour=red\n", "1: Unknown config option 'colour'", ""},
      {"# c\n\n=x", "3: Unknown config option ''", ""},
      {"dnldir=/d/\r\nWget\n", "2: quondel: value required for Wget option", ""},
      // A long line is read in pieces, but it is one line.
      {std::string(1500, ' ') + "\ncolour=red", "2: Unknown config option 'colour'", ""},
      // Blanks around the items of the host list.
      {"hosts=nas.lan, media.lan", std::nullopt, "nas.lan,media.lan"},
      {"hosts= a.lan ,b.lan\t,\tc.lan dnldir=/d/", std::nullopt, "a.lan,b.lan,c.lan"},
      {"hosts= dnldir=/d/", std::nullopt, ""},
      // Blanks around "=" are taken; a blank inside a value is named.
      {"wget = /usr/bin/wget\thosts =a.lan", std::nullopt, "a.lan"},
      {"hosts= a.lan ctor =\twget\n", std::nullopt, "a.lan"},
      {"hosts=bad host", "1: Value of hosts has a blank: 'bad host'", ""},
      {"hosts=a.lan b.lan c.lan wget=/w", "1: Value of hosts has a blank: 'a.lan b.lan c.lan'", ""},
      {"dnldir = /mnt/usb disk/ # d", "1: Value of dnldir has a blank: '/mnt/usb disk/'", ""},
      // Paths are absolute; a program may be a bare name found in PATH.
      {"DNLDIR=dl/", "1: Value of DNLDIR is not an absolute path: 'dl/'", ""},
      {"dwww=", "1: Value of dwww is not an absolute path: ''", ""},
      {"droo=./ dbin=/b/ dufb=/f/", "1: Value of droo is not an absolute path: './'", ""},
      {"pidfile=kiv.pid", "1: Value of pidfile is not an absolute path: 'kiv.pid'", ""},
      {"wget=bin/wget", "1: Value of wget is not an absolute path: 'bin/wget'", ""},
      {"wget=wget2 ctor=/opt/ctorrent pidfile=", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    Config record;
    std::optional<ConfigFault> fault = parse_config_text(record, c.text);
    EXPECT_EQ(fault ? std::optional(std::to_string(fault->line) + ": " + fault->message)
                    : std::nullopt,
              c.error)
        << c.text;
    EXPECT_EQ(record.hosts, c.hosts) << c.text;
  }

  // The program ends, naming where.
  auto unknown = run_in_child([] { apply_config_text("\ncolour=red\n", "/r/kiv.conf"); });
  EXPECT_EQ(unknown.exit_code(), 1);
  EXPECT_EQ(unknown.err, "/r/kiv.conf line 2: Unknown config option 'colour'\n");
  EXPECT_EQ(unknown.out, "");
}

// The cases below use the fixed path of the resolved copy.
class ResolvedConfig : public ::testing::Test {
 protected:
  testing::KeepFile keep_{kResolvedConfigPath};
  testing::KeepFile keep_names_{"/tmp/kiv-names"};
  testing::TempDir root_;

  void SetUp() override {
    unlink(kResolvedConfigPath);
    mkdir((root_.path() + "bin").c_str(), 0755);
  }

  /// Runs search mode as if the daemon were root_/bin/kivd.
  testing::ChildResult search(mode_t mask = 022) {
    return run_in_child([&] {
      umask(mask);
      setenv("PATH", "/usr/bin:/bin", 1);
      read_config(root_.path() + "bin/kivd", ConfigMode::search);
      printf("%s|%s|%s", current_directory_for_test().c_str(), getenv("PATH"),
             config().confpath.c_str());
    });
  }

  static std::string current_directory_for_test() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
  }
};

TEST_F(ResolvedConfig, SearchWritesTheDefaults) {
  write_text(root_.path() + "kiv.conf", "# only comments\n\nhosts=Box.Test.,media.example:81\n");
  write_text(root_.path() + "bin/wget", "");
  auto result = search(0);
  ASSERT_EQ(result.exit_code(), testing::kReturned) << result.out << result.err;
  std::string r = root_.path();
  EXPECT_EQ(read_text(kResolvedConfigPath),
            "droo=" + r + "\ndbin=" + r + "bin/\nwget=" + r + "bin/wget\nctor=ctorrent\n" +
                "dwww=" + r + "www/kiv/\ndufb=" + r + "www/kivfb/\ndnldir=" + r +
                "www/kiv/dnl/\npidfile=" + r + "bin/kiv.pid\nhosts=Box.Test.,media.example:81\n");
  // The names the web server looks up: this machine's and the list's.
  std::string names;
  for (const std::string& name : box_names(own_host_name(), "")) names += name + "\n";
  EXPECT_EQ(read_text(kBoxNamesPath), names + "box.test\nmedia.example\n");
  EXPECT_EQ(result.out,
            r.substr(0, r.size() - 1) + "|" + r + "bin/:/usr/bin:/bin|" + r + "kiv.conf");

  // Whatever the daemon's umask: not writable by others, download directory
  // enterable by its owner.
  struct stat st;
  for (const char* published : {kResolvedConfigPath, kBoxNamesPath}) {
    ASSERT_EQ(stat(published, &st), 0) << published;
    EXPECT_EQ(st.st_mode & 07777, 0644u) << published;
  }
  ASSERT_EQ(stat((r + "www/kiv/dnl").c_str(), &st), -1);  // www/kiv/ is not there
  mkdir((r + "www").c_str(), 0755);
  mkdir((r + "www/kiv").c_str(), 0755);
  search(0);
  ASSERT_EQ(stat((r + "www/kiv/dnl").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(ResolvedConfig, SearchWalksUpAndAppliesKivConf) {
  std::string r = root_.path();
  write_text(r + "kiv.conf", "dbin=/opt/bin/ dwww=/srv/web\n");
  mkdir((r + "bin/deeper").c_str(), 0755);
  auto result = run_in_child([&] {
    setenv("PATH", "/bin", 1);
    read_config(r + "bin/deeper/kivd", ConfigMode::search);
    printf("%s", getenv("PATH"));
  });
  ASSERT_EQ(result.exit_code(), testing::kReturned) << result.err;
  // PATH gets the default programs directory, not the configured one.
  EXPECT_EQ(result.out, r + "bin/:/bin");
  // Without a PATH there is no empty entry (the current directory).
  auto unset = run_in_child([&] {
    unsetenv("PATH");
    read_config(r + "bin/kivd", ConfigMode::search);
    printf("%s", getenv("PATH"));
  });
  EXPECT_EQ(unset.out, r + "bin/:/usr/bin:/bin");
  EXPECT_EQ(read_text(kResolvedConfigPath),
            "droo=" + r + "\ndbin=/opt/bin/\nwget=wget\nctor=ctorrent\ndwww=/srv/web/\n" +
                "dufb=" + r + "www/kivfb/\ndnldir=" + r + "www/kiv/dnl/\npidfile=" + r +
                "bin/kiv.pid\n");
}

TEST_F(ResolvedConfig, PlantedLinkIsReplacedNotFollowed) {
  std::string victim = root_.path() + "victim";
  write_text(victim, "precious");
  write_text(root_.path() + "kiv.conf", "");  // else the search stops at /tmp
  ASSERT_EQ(symlink(victim.c_str(), kResolvedConfigPath), 0);
  auto result = search();
  ASSERT_EQ(result.exit_code(), testing::kReturned) << result.out << result.err;
  EXPECT_EQ(read_text(victim), "precious");
  struct stat st;
  ASSERT_EQ(lstat(kResolvedConfigPath, &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(ResolvedConfig, ReadBackGivesTheDaemonsValues) {
  write_text(root_.path() + "kiv.conf", "dnldir=/data/dl/ dufb=/srv/fb\n");
  ASSERT_EQ(search().exit_code(), testing::kReturned);
  auto result = run_in_child([] {
    config() = Config{};
    read_config("kiv-ctl", ConfigMode::plain);
    const Config& c = config();
    printf("%s|%s|%s|%s|%s", c.droo.c_str(), c.trkdir.c_str(), c.dnldir.c_str(),
           c.dufb.c_str(), c.confpath.c_str());
  });
  std::string r = root_.path();
  EXPECT_EQ(result.out, r + "|" + r + "www/kiv/trk/|/data/dl/|/srv/fb/|");
}

TEST_F(ResolvedConfig, CopyThatWouldNotReadBackIsRefused) {
  // Each line of the copy is read back in pieces of 999 characters, and a
  // value with a blank or "#" would be cut: the daemon writes nothing then.
  // A value that fits kiv.conf still grows by the "/" a directory gets.
  std::string fits = "/" + std::string(992, 'd') + "/";  // "dwww=" + 994: one piece
  struct Case {
    std::string conf;
    std::string refused_key;  // "" when accepted
  } cases[] = {
      {"dwww=" + fits, ""},
      {"dwww=" + fits.substr(0, 993) + "x", "dwww"},
      {"dufb=" + fits.substr(0, 993) + "x", "dufb"},
      {"dnldir=/" + std::string(991, 'n'), ""},
  };
  for (const Case& c : cases) {
    unlink(kResolvedConfigPath);
    write_text(root_.path() + "kiv.conf", c.conf + "\n");
    auto result = search();
    if (c.refused_key.empty()) {
      EXPECT_EQ(result.exit_code(), testing::kReturned) << c.conf.substr(0, 12) << result.out;
      EXPECT_NE(read_text(kResolvedConfigPath).find(c.conf + "\n"), std::string::npos);
      continue;
    }
    EXPECT_EQ(result.exit_code(), 1) << c.conf.substr(0, 12);
    EXPECT_EQ(result.out, "CRITICAL ERROR: unusable value of " + c.refused_key + " in " +
                              root_.path() + "kiv.conf");
    EXPECT_NE(access(kResolvedConfigPath, F_OK), 0) << c.conf.substr(0, 12);
  }

  // An installation whose own path holds a blank or "#".
  for (const char* odd : {"my disk", "no#1"}) {
    std::string root = root_.path() + odd + "/";
    mkdir(root.c_str(), 0755);
    mkdir((root + "bin").c_str(), 0755);
    write_text(root + "kiv.conf", "");
    unlink(kResolvedConfigPath);
    auto result = run_in_child([&] { read_config(root + "bin/kivd", ConfigMode::search); });
    EXPECT_EQ(result.exit_code(), 1) << odd;
    EXPECT_EQ(result.out, "CRITICAL ERROR: unusable value of droo in " + root + "kiv.conf");
    EXPECT_NE(access(kResolvedConfigPath, F_OK), 0) << odd;
    EXPECT_NE(access((root + "www").c_str(), F_OK), 0) << odd;
  }
}

TEST_F(ResolvedConfig, Failures) {
  auto missing = run_in_child([] { read_config("kiv-ctl", ConfigMode::plain); });
  EXPECT_EQ(missing.exit_code(), 1);
  EXPECT_EQ(missing.out, "CRITICAL ERROR: opening temporary /tmp/kiv.conf");
  EXPECT_EQ(missing.err, "");

  rmdir((root_.path() + "bin").c_str());
  write_text(root_.path() + "kiv.conf", "");
  auto no_bin = run_in_child([&] { read_config(root_.path() + "kivd", ConfigMode::search); });
  EXPECT_EQ(no_bin.exit_code(), 1);
  EXPECT_EQ(no_bin.out, "CRIRICAL ERROR: searching kiv.conf");
  EXPECT_EQ(no_bin.err, "kiv.conf: No such file or directory\n");

  // The program's folder gone: no search from wherever the caller stood.
  auto moved = run_in_child([&] { read_config(root_.path() + "gone/kivd", ConfigMode::search); });
  EXPECT_EQ(moved.exit_code(), 1);
  EXPECT_EQ(moved.out, "CRIRICAL ERROR: searching kiv.conf");
  EXPECT_EQ(moved.err, root_.path() + "gone: No such file or directory\n");

  mkdir((root_.path() + "bin").c_str(), 0755);
  unlink((root_.path() + "kiv.conf").c_str());
  mkdir((root_.path() + "kiv.conf").c_str(), 0755);  // exists, cannot be read
  auto unreadable = search();
  EXPECT_EQ(unreadable.exit_code(), 1);
  EXPECT_EQ(unreadable.out, "CRIRICAL ERROR: opening kiv.conf");
  EXPECT_EQ(unreadable.err, root_.path() + "kiv.conf: Is a directory\n");
  EXPECT_NE(access(kResolvedConfigPath, F_OK), 0);
}

}  // namespace
}  // namespace kiv
