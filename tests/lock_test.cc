// The lock, scripts, run and eDonkey commands of kiv-ctl, run directly.
// (The lock as the web server enforces it is tested in web_test.cc.)
#include <gtest/gtest.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/amule.h"
#include "tests/support/installation.h"

namespace kiv {
namespace {

using testing::kHeaders;
using testing::read_text;
using testing::write_text;

const std::string kNotEnabled = " <br>Basic Authentication was not enabled";
const std::string kUser = "Username must be between 6 and 10 chars long<br>";
const std::string kPassword = "Password must be between 6 and 10 chars long<br>";
const std::string kRestart = "Close and restart the browser to complete the operation";

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += 3) {
    unsigned chunk = unsigned((unsigned char)bytes[at]) << 16;
    if (at + 1 < bytes.size()) chunk |= unsigned((unsigned char)bytes[at + 1]) << 8;
    if (at + 2 < bytes.size()) chunk |= (unsigned char)bytes[at + 2];
    out += kAlphabet[chunk >> 18 & 63];
    out += kAlphabet[chunk >> 12 & 63];
    if (at + 1 < bytes.size()) out += kAlphabet[chunk >> 6 & 63];
    if (at + 2 < bytes.size()) out += kAlphabet[chunk & 63];
  }
  return out;
}

/// Percent-encodes everything but letters and digits, as a careful front end.
std::string encoded(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c)) {
      out += char(c);
    } else {
      char escape[4];
      snprintf(escape, sizeof escape, "%%%02X", c);
      out += escape;
    }
  }
  return out;
}

class KivCtlTools : public ::testing::Test {
 protected:
  testing::Installation installation_;
  std::string root_ = installation_.root();
  std::string www_ = root_ + "www/kiv/";
  std::string fb_ = root_ + "www/kivfb/";

  void SetUp() override {
    write_text(root_ + "bin/htpasswd",
               testing::read_text(std::string(KIV_SOURCE_DIR) + "/scripts/htpasswd"));
    chmod((root_ + "bin/htpasswd").c_str(), 0755);
  }

  std::string answer(const std::string& command, const std::string& file,
                     std::vector<std::string> env = {}) {
    env.push_back("QUERY_STRING=cmd=" + command + "&file=" + encoded(file));
    auto result = installation_.run("ctl/kiv-ctl", env);
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    return result.out.substr(std::min(result.out.size(), kHeaders.size()));
  }
  std::string lock(const std::string& user, const std::string& password, std::string flag = "") {
    return answer("lock", user + ":" + base64(password) + (flag.empty() ? "" : ":" + flag));
  }
  bool verifies(const std::string& file, const std::string& user, const std::string& password) {
    return testing::run_program({"/usr/bin/htpasswd", "-vb", file, user, password}, {})
               .exit_code() == 0;
  }
  /// How many of the directories the web server takes lock files from
  /// (scripts/lock-directories) hold one.
  int locked_directories() {
    std::string list = read_text(std::string(KIV_SOURCE_DIR) + "/scripts/lock-directories");
    int locked = 0;
    for (size_t at = 0, end; at < list.size(); at = end + 1) {
      end = std::min(list.find('\n', at), list.size());
      locked += access((root_ + list.substr(at, end - at) + "/.htpasswd").c_str(), F_OK) == 0;
    }
    return locked;
  }
};

TEST_F(KivCtlTools, LockOnReadAndOff) {
  EXPECT_EQ(answer("lock", "read"), "KO");
  EXPECT_EQ(lock("admin1", "secret1"), kRestart);
  EXPECT_EQ(answer("unlock", "read"), "OK");
  for (std::string dir : {www_, www_ + "trk/", www_ + "cgi-bin/"})
    EXPECT_TRUE(verifies(dir + ".htpasswd", "admin1", "secret1")) << dir;
  EXPECT_FALSE(verifies(www_ + ".htpasswd", "admin1", "secret2"));
  EXPECT_TRUE(read_text(www_ + ".htpasswd").starts_with("admin1:$2y$"));  // bcrypt
  EXPECT_NE(access((fb_ + ".htpasswd").c_str(), F_OK), 0);  // no extension flag

  // Locking again replaces the user; the flag covers the second directory.
  EXPECT_EQ(lock("other22", "password", "1"), kRestart);
  EXPECT_FALSE(verifies(www_ + ".htpasswd", "admin1", "secret1"));
  for (std::string dir : {www_, fb_, fb_ + "cgi-bin/"})
    EXPECT_TRUE(verifies(dir + ".htpasswd", "other22", "password")) << dir;
  EXPECT_EQ(locked_directories(), 5);

  EXPECT_EQ(answer("lock", "unlock"), kRestart);
  EXPECT_EQ(locked_directories(), 0);
  EXPECT_EQ(answer("lock", "read"), "KO");
  EXPECT_EQ(answer("lock", "unlock"), kRestart);  // harmless when off
}

TEST_F(KivCtlTools, CredentialsAreValidatedAndNothingIsCreated) {
  EXPECT_EQ(lock("admin", "secret1"), kUser + kNotEnabled);
  EXPECT_EQ(lock("adm", "pw"), kUser + kPassword + kNotEnabled);
  EXPECT_EQ(lock("admin1", "secret12345"), kPassword + kNotEnabled);
  EXPECT_EQ(lock("admin12345x", "secret"), kUser + kNotEnabled);
  EXPECT_EQ(answer("lock", ":"),
            "Insert username and password to enable Basic Authentication<br>" + kUser +
                kPassword + kNotEnabled);
  EXPECT_EQ(answer("lock", ":c2VjcmV0MQ"), kUser + kNotEnabled);
  EXPECT_EQ(answer("lock", "admin1:"), kPassword + kNotEnabled);
  // A line feed or a zero byte would silently make the password shorter.
  for (std::string password : {std::string("sec\nret1"), std::string("sec\0ret", 7)})
    EXPECT_EQ(lock("admin1", password),
              "Username and password must not hold control characters<br>" + kNotEnabled);
  EXPECT_EQ(locked_directories(), 0);
  EXPECT_EQ(lock("admin12345", "secret"), kRestart);  // both bounds included
}

TEST_F(KivCtlTools, LockFilesAreReadableByTheirUserAloneAndTheInitialPasswordGoes) {
  auto mode = [](const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
  };
  // An earlier release's world-readable file, and the password the package
  // locked a new installation with.
  write_text(www_ + "trk/.htpasswd", "old:x\n");
  chmod((www_ + "trk/.htpasswd").c_str(), 0644);
  std::string initial = root_ + "etc/lock/initial-password";
  std::filesystem::create_directories(root_ + "etc/lock");
  write_text(initial, "user: kivadmin\npassword: x\n");

  EXPECT_EQ(lock("admin1", "secret1", "1"), kRestart);
  for (std::string dir : {www_, www_ + "trk/", www_ + "cgi-bin/", fb_, fb_ + "cgi-bin/"})
    EXPECT_EQ(mode(dir + ".htpasswd"), 0600) << dir;
  EXPECT_EQ(mode(initial), -1);  // it opens nothing any more

  // Opening the box also takes the initial password.
  write_text(initial, "user: kivadmin\npassword: x\n");
  EXPECT_EQ(answer("lock", "unlock"), kRestart);
  EXPECT_EQ(mode(initial), -1);
}

TEST_F(KivCtlTools, QuotesInCredentialsAreOnlyCredentials) {
  std::string password = "x'$(id)\\c";  // quote, expansion and an echo escape
  ASSERT_LE(password.size(), 10u);
  EXPECT_EQ(lock("o'brien", password), kRestart);
  EXPECT_TRUE(verifies(www_ + ".htpasswd", "o'brien", password));
  EXPECT_EQ(lock("us`id`er", "';touch x'"), kRestart);
  EXPECT_TRUE(verifies(www_ + ".htpasswd", "us`id`er", "';touch x'"));
  EXPECT_NE(access((www_ + "x").c_str(), F_OK), 0);
}

TEST_F(KivCtlTools, ScriptsAreListedAndRunWithArguments) {
  EXPECT_EQ(answer("scripts", ""), "");
  write_text(root_ + "scripts/hello.sh", "#!/bin/sh\necho \"hello $1 $2 in $(pwd)\"\n");
  chmod((root_ + "scripts/hello.sh").c_str(), 0755);
  write_text(root_ + "scripts/<b>.sh", "");
  std::string list = answer("scripts", "");
  EXPECT_NE(list.find("<option value=\"hello.sh\">hello.sh</option>\n"), std::string::npos);
  EXPECT_NE(list.find("<option value=\"&lt;b&gt;.sh\">&lt;b&gt;.sh</option>\n"),
            std::string::npos);
  EXPECT_EQ(answer("scripts", "hello.sh big world"),
            "hello big world in " + installation_.dnldir().substr(0, installation_.dnldir().size() - 1) +
                "\n \n");
  unlink((root_ + "scripts/hello.sh").c_str());
  unlink((root_ + "scripts/<b>.sh").c_str());
  rmdir((root_ + "scripts").c_str());
  EXPECT_EQ(answer("scripts", ""), "Can't scan scripts directory:\n " + root_ + "scripts/");
}

TEST_F(KivCtlTools, RunAnswersOutputEvenWhenItSaysLocation) {
  write_text(installation_.dnldir() + "here.txt", "");
  EXPECT_EQ(answer("run", "ls; echo Location; ls missing-file"),
            "here.txt\nLocation\nls: cannot access 'missing-file': No such file or directory\n \n");
}

TEST_F(KivCtlTools, AmuleCommandReachesTheRealClient) {
  testing::AmuleDaemon amule;
  if (!amule.ready()) GTEST_SKIP() << "amuled is not installed or did not start";
  std::string env = "HOME=" + amule.home();
  std::string status = answer("amule", "status", {env});
  EXPECT_NE(status.find("Connection established"), std::string::npos) << status;
  // A quote stays inside the tool's one argument.
  std::string odd = answer("amule", "show \"$(id)\" `id`", {env});
  EXPECT_EQ(odd.find("uid="), std::string::npos) << odd;
  EXPECT_TRUE(odd.ends_with(" \n")) << odd;
}

}  // namespace
}  // namespace kiv
