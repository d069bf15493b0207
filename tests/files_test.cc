// The file commands of kiv-ctl on a real download directory, with the real
// cp, tar, gzip and df.
#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common/dir.h"
#include "common/file.h"
#include "common/temporary.h"
#include "tests/support/installation.h"
#include "tests/support/processes.h"
#include "tests/support/programs.h"
#include "tests/support/web.h"

namespace kiv {
namespace {

using testing::kHeaders;
using testing::read_text;
using testing::write_text;

void sparse_file(const std::string& path, off_t size) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  ASSERT_TRUE(fd.valid() && ftruncate(fd.get(), size) == 0) << path;
}

/// The children of process `pid`, with their program names.
std::vector<std::pair<pid_t, std::string>> children_of(const std::string& pid) {
  std::vector<std::pair<pid_t, std::string>> children;
  for (pid_t child : testing::child_processes(pid_t(std::stoi(pid)))) {
    // A process may end meanwhile: its files then read as empty.
    std::string comm = read_file("/proc/" + std::to_string(child) + "/comm").value_or("");
    children.emplace_back(child, comm.substr(0, comm.find('\n')));
  }
  return children;
}

/// Whether `pid` runs (a zombie has ended).
bool alive(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
  size_t close = stat.rfind(')');
  return close != std::string::npos && stat[close + 2] != 'Z';
}

uint64_t inode_of(const std::string& path) {
  struct stat status;
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_ino;
}

/// A request field, percent-encoded whole so that any byte survives.
std::string field(std::string_view name, std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = std::string(name) + "=";
  for (unsigned char c : value) {
    // Capital escapes of A1..FF become UTF-8: keep those bytes lower case.
    text += '%';
    text += c >= 0xA1 ? "0123456789abcdef"[c >> 4] : kHex[c >> 4];
    text += c >= 0xA1 ? "0123456789abcdef"[c & 15] : kHex[c & 15];
  }
  return text;
}

class FileCommands : public ::testing::Test {
 protected:
  testing::Installation installation_;
  std::string dnl_ = installation_.dnldir();

  testing::ChildResult run(const std::string& cmd, std::string_view file = {},
                           std::string_view para = {}, std::vector<std::string> env = {}) {
    env.push_back("QUERY_STRING=cmd=" + cmd + "&" + field("file", file) + "&" +
                  field("para", para));
    return installation_.run("ctl/kiv-ctl", env);
  }

  /// The temporary files in the download directory.
  std::vector<std::string> temporaries() const {
    std::vector<std::string> found;
    for (const std::string& name : scan_directory(dnl_, ScanOrder::by_name).value_or(
             std::vector<std::string>{}))
      if (is_temporary_name(name)) found.push_back(name);
    return found;
  }

  /// The answer's message text after the header block.
  std::string answer(const std::string& cmd, std::string_view file = {},
                     std::string_view para = {}, std::vector<std::string> env = {}) {
    testing::ChildResult result = run(cmd, file, para, std::move(env));
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_TRUE(result.out.starts_with(kHeaders)) << result.out;
    return result.out.substr(std::min(result.out.size(), kHeaders.size()));
  }
};

// Names that would run something or end a quote if they reached the shell
// as they are.
const std::vector<std::string> kHostileNames = {
    "two words", "quote\"d", "$(touch PWNED)", "`touch PWNED`", "dollar$HOME",
    "back\\slash\\", "it's", "-dash", "semi;colon&amp", "q\"uo\\te\\", "new\nline"};

TEST_F(FileCommands, Remove) {
  write_text(dnl_ + "single", "x");
  EXPECT_EQ(answer("rem", "single"), "OK");
  EXPECT_FALSE(exists(dnl_ + "single"));

  for (const char* dir : {"tree", "tree/a", "tree/a/b", "tree/a/b/c", "tree/d", "tree/.hidden"})
    mkdir((dnl_ + dir).c_str(), 0755);
  write_text(dnl_ + "tree/a/b/f", "x");
  write_text(dnl_ + "tree/.dotfile", "x");
  mkfifo((dnl_ + "tree/a/fifo").c_str(), 0644);
  EXPECT_EQ(answer("rem", "tree"), "OK");
  EXPECT_FALSE(exists(dnl_ + "tree"));

  EXPECT_EQ(answer("rem", "missing"), "ENOENT " + dnl_ + "missing");
  EXPECT_EQ(answer("rem", "a/../b"), "filename error (contains /..) " + dnl_ + "a/../b");

  // The download directory itself is never emptied by a name that is no name.
  write_text(dnl_ + "kept", "x");
  for (std::string name : {"", ".", "/", "./", "//."})
    EXPECT_EQ(answer("rem", name), "Cannot remove the download directory: " + dnl_ + name);
  EXPECT_TRUE(exists(dnl_ + "kept"));
}

TEST_F(FileCommands, RemoveLeavesLinkTargetsAlone) {
  testing::TempDir outside;
  write_text(outside.path() + "precious", "keep");
  symlink(outside.path().c_str(), (dnl_ + "link").c_str());
  mkdir((dnl_ + "tree").c_str(), 0755);
  symlink(outside.path().c_str(), (dnl_ + "tree/inner-link").c_str());
  symlink((outside.path() + "precious").c_str(), (dnl_ + "tree/file-link").c_str());
  symlink("nowhere", (dnl_ + "tree/dangling").c_str());
  EXPECT_EQ(answer("rem", "link"), "OK");
  EXPECT_EQ(answer("rem", "tree"), "OK");
  EXPECT_FALSE(exists(dnl_ + "link"));
  EXPECT_FALSE(exists(dnl_ + "tree"));
  EXPECT_EQ(read_text(outside.path() + "precious"), "keep");
}

TEST_F(FileCommands, Rename) {
  write_text(dnl_ + "old", "x");
  EXPECT_EQ(answer("rename", "old", "new"), "OK");
  EXPECT_EQ(read_text(dnl_ + "new"), "x");
  EXPECT_EQ(answer("rename", "new", "a/../b"), "Filename error (contains /..) a/../b");
  EXPECT_EQ(answer("rename", "gone", "b"), "File not found: " + dnl_ + "gone");
  EXPECT_EQ(answer("rename", "new", "nodir/b"), "ENOENT " + dnl_ + "new");
}


TEST_F(FileCommands, CopyNamesNeverReachTheShellUnquoted) {
  for (const std::string& name : kHostileNames) {
    write_text(dnl_ + name, "content of " + name);
    EXPECT_EQ(answer("copy", name, name + " copy"), "OK") << name;
    EXPECT_EQ(read_text(dnl_ + name + " copy"), "content of " + name) << name;
    // Over the copy just made (through a temporary file): replaced whole,
    // its mode kept, nothing left beside it.
    chmod((dnl_ + name + " copy").c_str(), 0640);
    write_text(dnl_ + name, "new content of " + name);
    EXPECT_EQ(answer("copy", name, name + " copy"), "OK") << name;
    EXPECT_EQ(read_text(dnl_ + name + " copy"), "new content of " + name) << name;
    struct stat status;
    ASSERT_EQ(stat((dnl_ + name + " copy").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u) << name;
  }
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
  // A file copied onto itself is cp's to refuse, and stays.
  write_text(dnl_ + "plain", "content of plain");
  EXPECT_EQ(answer("copy", "plain", "plain"),
            "cp: '" + dnl_ + "plain' and '" + dnl_ + "plain' are the same file\n");
  EXPECT_EQ(read_text(dnl_ + "plain"), "content of plain");
  EXPECT_FALSE(exists(dnl_ + "PWNED"));
  EXPECT_FALSE(exists(installation_.root() + "PWNED"));
}

TEST_F(FileCommands, CopyDirectoriesAndFailures) {
  mkdir((dnl_ + "dir").c_str(), 0755);
  mkdir((dnl_ + "dir/inner").c_str(), 0755);
  write_text(dnl_ + "dir/inner/f", "x");
  EXPECT_EQ(answer("copy", "dir", "dir2"), "OK");
  EXPECT_EQ(read_text(dnl_ + "dir2/inner/f"), "x");
  // cp's failure is the answer, in cp's words.
  EXPECT_EQ(answer("copy", "missing", "there"),
            "cp: cannot stat '" + dnl_ + "missing': No such file or directory\n");
  EXPECT_FALSE(exists(dnl_ + "there"));
  EXPECT_EQ(answer("copy"), "cp: cannot copy a directory, '" + dnl_ + "', into itself, '" +
                                dnl_ + "dnl'\n");
  EXPECT_FALSE(exists(dnl_ + "dnl"));
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// A folder is copied under a new name only, never merged into a folder of
// that name: the user's files there stay, and no link in that tree is
// written through.
TEST_F(FileCommands, FolderCopiesTakeOnlyAFreeName) {
  testing::TempDir outside;
  write_text(outside.path() + "f", "precious");
  mkdir((dnl_ + "A").c_str(), 0750);
  write_text(dnl_ + "A/f", "copied");
  mkdir((dnl_ + "B").c_str(), 0755);
  mode_t mask = umask(022);
  EXPECT_EQ(answer("copy", "A", "B"), "OK");
  EXPECT_EQ(answer("copy", "A", "C"), "OK");
  umask(mask);
  EXPECT_EQ(read_text(dnl_ + "B/A/f"), "copied");
  EXPECT_EQ(read_text(dnl_ + "C/f"), "copied");
  struct stat status;
  ASSERT_EQ(stat((dnl_ + "C").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0750u);

  mkdir((dnl_ + "D").c_str(), 0755);
  mkdir((dnl_ + "D/A").c_str(), 0755);
  symlink((outside.path() + "f").c_str(), (dnl_ + "D/A/f").c_str());
  EXPECT_EQ(answer("copy", "A", "D"), "ENOTEMPTY OR EEXIST " + dnl_ + "D/A");
  // Copied again into the copy, then its name is taken there too.
  EXPECT_EQ(answer("copy", "A", "C"), "OK");
  EXPECT_EQ(read_text(dnl_ + "C/A/f"), "copied");
  EXPECT_EQ(answer("copy", "A", "C"), "ENOTEMPTY OR EEXIST " + dnl_ + "C/A");
  EXPECT_EQ(answer("copy", "A", "C/f"), "ENOTEMPTY OR EEXIST " + dnl_ + "C/f");
  EXPECT_EQ(read_text(outside.path() + "f"), "precious");
  EXPECT_EQ(read_text(dnl_ + "C/f"), "copied");
  EXPECT_EQ(temporaries(), std::vector<std::string>{});

  // A folder a copy left a day ago goes with the next copy beside it.
  const std::string left = dnl_ + ".E.copy-Ab12cd";
  mkdir(left.c_str(), 0755);
  write_text(left + "/part", "x");
  const struct timespec old[2] = {{time(nullptr) - kStaleTemporarySeconds - 60, 0},
                                  {time(nullptr) - kStaleTemporarySeconds - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, left.c_str(), old, 0), 0);
  EXPECT_EQ(answer("copy", "A", "E"), "OK");
  EXPECT_FALSE(exists(left));
}

// A restart continues the job's file with wget -c, which appends through a
// link: never to a name that leads out by now.
TEST_F(FileCommands, RestartAppendsOnlyInside) {
  testing::TempDir outside;
  write_text(outside.path() + "victim", "keep");
  const std::string trk = installation_.trkdir();
  write_text(trk + "abcdef", "\nhttp://127.0.0.1:1/f\n\n");
  write_text(trk + "abcdef.wgt", "Saving to: 'f'\n");
  symlink((outside.path() + "victim").c_str(), (dnl_ + "f").c_str());
  EXPECT_EQ(answer("startdnl", "abcdef.wgt"), "filename error (contains /..) " + dnl_ + "/f");
  EXPECT_EQ(read_text(outside.path() + "victim"), "keep");
}

// A name the file system cannot take answers as the file system would,
// not as a name leading out.
TEST_F(FileCommands, LinkLoopsAndOverlongNames) {
  symlink("loop", (dnl_ + "loop").c_str());
  write_text(dnl_ + "x", "x");
  const std::string long_name(256, 'n');
  const std::string too_long =
      "Filename too long please shorten it:  name has 256 bytes, at most 255 are taken: " +
      std::string(60, 'n') + "...";
  struct Case {
    std::string cmd, file, para, answer;
  };
  const Case cases[] = {
      {"rem", "loop/x", "", "ELOOP " + dnl_ + "loop/x"},
      {"rename", "loop/x", "y", "ELOOP " + dnl_ + "loop/x"},
      {"copy", "x", "loop/y", "ELOOP " + dnl_ + "loop/y"},
      {"mkdir", "loop/new", "", "ELOOP " + dnl_ + "loop/new"},
      {"targz", "loop/x", "", "ELOOP " + dnl_ + "loop/x"},
      {"mkdir", long_name, "", too_long},
      {"rename", "x", "sub/" + long_name, too_long},
      {"copy", long_name, "y", too_long},
      {"rem", "loop", "", "OK"},  // the link itself goes
  };
  for (const Case& c : cases)
    EXPECT_EQ(answer(c.cmd, c.file, c.para), c.answer) << c.cmd << " " << c.file;
  symlink("loop", (dnl_ + "loop").c_str());
  EXPECT_EQ(answer("dow", "1", {}, {"HTTP_COOKIE=curdir=loop"}), "ELOOP " + dnl_ + "loop");
}

TEST_F(FileCommands, MakeDirectory) {
  mode_t mask = umask(022);
  EXPECT_EQ(answer("mkdir", "new"), "OK");
  umask(mask);
  struct stat status;
  ASSERT_EQ(stat((dnl_ + "new").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  EXPECT_EQ(answer("mkdir", "new"), "ENOTEMPTY OR EEXIST " + dnl_ + "new");
  EXPECT_EQ(answer("mkdir", "no/such"), "ENOENT " + dnl_ + "no/such");
}

// A name over its limit is refused whole, never cut to a shorter path (here
// the folder A/B above the file meant), and "OK" comes only for what was
// done.
TEST_F(FileCommands, NothingCutNothingClaimed) {
  const std::string a(255, 'a'), b(243, 'b');
  const std::string victim = a + "/" + b + "/victim.txt";  // 510 bytes
  mkdir((dnl_ + a).c_str(), 0755);
  mkdir((dnl_ + a + "/" + b).c_str(), 0755);
  write_text(dnl_ + victim, "keep");
  write_text(dnl_ + "x", "x");
  const std::string too_long =
      "Filename too long please shorten it:  file has 510 bytes, at most 500 are taken: " +
      std::string(60, 'a') + "...";
  // 491 bytes, 1473 characters once encoded: within the limit.
  std::string e_folder, e_name;
  for (int i = 0; i < 125; ++i) e_folder += "\xC3\xA9";
  for (int i = 0; i < 120; ++i) e_name += "\xC3\xA9";
  mkdir((dnl_ + e_folder).c_str(), 0755);
  write_text(dnl_ + e_folder + "/" + e_name, "gone");
  // A record whose source line would be read back cut.
  const std::string trk = installation_.trkdir();
  write_text(trk + "abcdeg", "\nhttp://127.0.0.1:1/" + std::string(990, 'u') + "\n\n");
  write_text(trk + "abcdeg.wgt", "");

  struct Case {
    std::string cmd, file, para, answer;
    std::vector<std::string> env = {};
  };
  const Case cases[] = {
      {"rem", victim, "", too_long},
      {"rename", victim, "moved", too_long},
      {"copy", victim, "copied", too_long},
      {"targz", victim, "", too_long},
      {"rename", "x", victim,
       "Filename too long please shorten it:  para has 510 bytes, at most 500 are taken: " +
           std::string(60, 'a') + "..."},
      {"wget", "http://127.0.0.1:1/", "",
       "Filename too long please shorten it:  curdir has 511 bytes, at most 500 are taken: /" +
           std::string(59, 'a') + "...",
       {"HTTP_COOKIE=curdir=/" + victim}},
      {"disk" + std::string(7, 'x'), "", "",
       "Request field too long: cmd has 11 bytes, at most 10 are taken: diskxxxxxxx"},
      {"rem", e_folder + "/" + e_name, "", "OK"},
      {"del", "abcdef.wgt", "", "Job not found: abcdef.wgt"},
      {"stop", "abcdef.tor", "", "Job not found: abcdef.tor"},
      {"startdnl", "abcdeg.wgt", "", "Unable to read trk file: " + trk + "abcdeg"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(answer(c.cmd, c.file, c.para, c.env), c.answer) << c.cmd << " " << c.file;
  EXPECT_EQ(read_text(dnl_ + victim), "keep");
  EXPECT_FALSE(exists(dnl_ + "moved") || exists(dnl_ + "copied"));
  EXPECT_FALSE(exists(dnl_ + e_folder + "/" + e_name));
  EXPECT_EQ(scan_directory(trk, ScanOrder::by_name)->size(), 2u);  // nothing started

  // The listing of a folder over the limit is refused, not that of A/B.
  testing::ChildResult listed =
      installation_.run("list/kiv-list", {"QUERY_STRING=" + field("curdir", "/" + victim)});
  EXPECT_EQ(listed.out, kHeaders +
                            "Filename too long please shorten it:  curdir has 511 bytes, at most "
                            "500 are taken: /" + std::string(59, 'a') + "...");
}

/// The names in the gzip-compressed tar archive at `path`.
std::string archive_names(const std::string& path) {
  testing::ChildResult listing =
      testing::run_program({"/bin/tar", "--quoting-style=literal", "-tzf", path}, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(listing.exit_code(), 0) << listing.err;
  return listing.out;
}

TEST_F(FileCommands, PackInSubdirectory) {
  mkdir((dnl_ + "sub").c_str(), 0755);
  mkdir((dnl_ + "sub/film").c_str(), 0755);
  write_text(dnl_ + "sub/film/part", "x");
  EXPECT_EQ(answer("targz", "sub/film"), "OK");
  EXPECT_FALSE(exists(dnl_ + "sub/film.tar"));
  EXPECT_EQ(archive_names(dnl_ + "sub/film.tar.gz"), "film/\nfilm/part\n");
  // tar's failure is the answer, in tar's words, and its archive is gone.
  EXPECT_EQ(answer("targz", "sub/missing"),
            "tar: missing: Cannot stat: No such file or directory\n"
            "tar: Exiting with failure status due to previous errors\n");
  EXPECT_FALSE(exists(dnl_ + "sub/missing.tar"));
  EXPECT_EQ(answer("targz", "nodir/x"), "ENOENT " + dnl_ + "nodir");
  EXPECT_EQ(answer("targz", "/"), "Nothing to pack: /");
  EXPECT_EQ(answer("targz", "sub/.."), "Nothing to pack: sub/..");
}

TEST_F(FileCommands, PackingLeavesWhatIsThere) {
  // An archive there is never replaced, nor a .tar (the archive is made
  // beside, under a temporary name), whatever fails.
  write_text(dnl_ + "film", "new");
  write_text(dnl_ + "film.tar.gz", "old archive");
  write_text(dnl_ + "film.tar", "user's own");
  write_text(dnl_ + "gone.tar", "user's own");
  struct Case {
    const char* entry;
    std::string answer;
  } cases[] = {
      {"film", "Archive exists already: " + dnl_ + "film.tar.gz"},
      {"gone", "tar: gone: Cannot stat: No such file or directory\n"
               "tar: Exiting with failure status due to previous errors\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(answer("targz", c.entry), c.answer) << c.entry;
  EXPECT_EQ(read_text(dnl_ + "film.tar.gz"), "old archive");
  EXPECT_FALSE(exists(dnl_ + "gone.tar.gz"));
  EXPECT_EQ(unlink((dnl_ + "film.tar.gz").c_str()), 0);
  EXPECT_EQ(answer("targz", "film"), "OK");
  EXPECT_EQ(archive_names(dnl_ + "film.tar.gz"), "film\n");
  mode_t mask = umask(0);
  umask(mask);
  struct stat status;
  ASSERT_EQ(stat((dnl_ + "film.tar.gz").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0666 & ~mask);
  for (const char* tar : {"film.tar", "gone.tar"}) EXPECT_EQ(read_text(dnl_ + tar), "user's own");
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

TEST_F(FileCommands, PackHostileNames) {
  for (const std::string& name : kHostileNames) {
    write_text(dnl_ + name, "x");
    EXPECT_EQ(answer("targz", name), "OK") << name;
    EXPECT_EQ(archive_names(dnl_ + name + ".tar.gz"), name + "\n") << name;
  }
  EXPECT_FALSE(exists(dnl_ + "PWNED"));
}

TEST_F(FileCommands, TwoPacksOfOneFolderAtOnce) {
  // A double click: one archive, whole, and one clear refusal.
  mkdir((dnl_ + "folder").c_str(), 0755);
  sparse_file(dnl_ + "folder/zeros", off_t(64) << 20);
  for (int round = 0; round < 3; ++round) {
    std::string answers[2];
    std::thread first([&] { answers[0] = answer("targz", "folder"); });
    answers[1] = answer("targz", "folder");
    first.join();
    std::sort(std::begin(answers), std::end(answers));
    EXPECT_EQ(answers[0], "Archive exists already: " + dnl_ + "folder.tar.gz");
    EXPECT_EQ(answers[1], "OK");
    EXPECT_EQ(archive_names(dnl_ + "folder.tar.gz"), "folder/\nfolder/zeros\n");
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
    unlink((dnl_ + "folder.tar.gz").c_str());
  }
}

TEST_F(FileCommands, ToolsAndTemporariesEndWithTheRequest) {
  // kiv-ctl killed outright, as a web server ends a request whose browser
  // went away: what it started ends, what it began to write goes, and the
  // user's files stay as they were. cp waits on a FIFO that nobody writes.
  mkfifo((dnl_ + "fifo").c_str(), 0644);
  write_text(dnl_ + "keep.txt", "keep me");
  sparse_file(dnl_ + "big", off_t(4) << 30);
  // cp copies a folder's FIFO as a FIFO: this one is caught by its size.
  mkdir((dnl_ + "many").c_str(), 0755);
  for (int i = 0; i < 4000; ++i) write_text(dnl_ + "many/" + std::to_string(i), "x");
  struct Case {
    const char* query;
    std::vector<std::string> tools;
    const char* absent;
  } cases[] = {
      {"cmd=copy&file=fifo&para=keep.txt", {"cp"}, "fifo.tar.gz"},
      {"cmd=copy&file=fifo&para=new.txt", {"cp"}, "new.txt"},
      {"cmd=targz&file=big", {"gzip", "tar"}, "big.tar.gz"},
      {"cmd=copy&file=many&para=copied", {"cp"}, "copied"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {"/usr/bin/env", "-i", std::string("QUERY_STRING=") + c.query,
                                     "HTTP_X_KIV=1", "PATH=/usr/bin:/bin",
                                     "GATEWAY_INTERFACE=CGI/1.1"};
    for (const std::string& word : testing::program_command(testing::program("ctl/kiv-ctl")))
      argv.push_back(word);
    testing::Running request(argv, dnl_);
    std::vector<std::pair<pid_t, std::string>> tools;
    ASSERT_TRUE(testing::eventually([&] {
      tools = children_of(request.pid());
      std::vector<std::string> names;
      for (const auto& tool : tools) names.push_back(tool.second);
      std::sort(names.begin(), names.end());
      return names == c.tools && temporaries().size() == 1;
    })) << c.query;
    request.kill_only();
    EXPECT_TRUE(testing::eventually([&] {
      return std::none_of(tools.begin(), tools.end(), [](const auto& tool) {
        return alive(tool.first);
      }) && temporaries().empty();
    })) << c.query << ": " << temporaries().size() << " temporaries left";
    for (const auto& tool : tools) kill(tool.first, SIGKILL);  // today's leftovers
    EXPECT_EQ(read_text(dnl_ + "keep.txt"), "keep me") << c.query;
    EXPECT_FALSE(exists(dnl_ + c.absent)) << c.query;
  }
}

TEST_F(FileCommands, DiskUsage) {
  // Of a file system only this test writes: the machine's disk would move
  // between the two measures.
  if (!testing::WebSite::can_mount()) GTEST_SKIP() << "needs root and unshare to mount";
  std::vector<std::string> argv = {
      "/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
      "mount -t tmpfs -o size=2m tmpfs \"$0\" && \"$@\" && printf '\\0' && df -k \"$0\"",
      dnl_};
  for (const std::string& word : testing::program_command(testing::program("ctl/kiv-ctl")))
    argv.push_back(word);
  testing::ChildResult both = testing::run_program(
      argv, {"QUERY_STRING=cmd=disk", "HTTP_X_KIV=1", "PATH=/usr/bin:/bin",
             "GATEWAY_INTERFACE=CGI/1.1"});
  size_t split = both.out.find('\0');
  ASSERT_NE(split, std::string::npos) << both.out << both.err;
  EXPECT_EQ(both.out.substr(0, split), kHeaders + both.out.substr(split + 1));
  EXPECT_NE(both.out.find("tmpfs"), std::string::npos) << both.out;
}

class Download : public FileCommands {
 protected:
  std::string headers(const std::string& name, long long length) {
    return "Content-type: application/octet-stream\r\nPragma: no-cache\r\n"
           "Cache-Control: no-cache,no-store\r\nExpires: 0\r\nContent-disposition: filename=\"" + name + "\"\nContent-length: " +
           std::to_string(length) + "\n\n";
  }
};

TEST_F(Download, ByInode) {
  write_text(dnl_ + "a.bin", "first");
  write_text(dnl_ + "b.bin", "second");
  mkdir((dnl_ + "sub").c_str(), 0755);
  write_text(dnl_ + "sub/c \"q\".bin", "third");
  write_text(dnl_ + "empty", "");

  EXPECT_EQ(run("dow", std::to_string(inode_of(dnl_ + "b.bin"))).out,
            headers("b.bin", 6) + "second");
  EXPECT_EQ(run("dow", std::to_string(inode_of(dnl_ + "sub/c \"q\".bin")), {},
                {"HTTP_COOKIE=curdir=sub"}).out,
            headers("c \\\"q\\\".bin", 5) + "third");
  EXPECT_EQ(run("dow", std::to_string(inode_of(dnl_ + "empty"))).out, headers("empty", 0));
}

TEST_F(Download, Refusals) {
  write_text(dnl_ + "a.bin", "first");
  EXPECT_EQ(answer("dow", "a.bin"), "What inode did you send?");
  EXPECT_EQ(answer("dow", "1", {}, {"HTTP_COOKIE=curdir=nodir"}),
            "Can't scan download directory " + dnl_ + "nodir");
  // A file reached through "/.." is refused, named; a folder outside is
  // not looked into.
  mkdir((dnl_ + "sub").c_str(), 0755);
  EXPECT_EQ(answer("dow", std::to_string(inode_of(dnl_ + "a.bin")), {},
                   {"HTTP_COOKIE=curdir=sub/.."}),
            "Filename error (contains /..) " + dnl_ + "sub/../a.bin");
  EXPECT_EQ(answer("dow", "1", {}, {"HTTP_COOKIE=curdir=sub/../.."}),
            "Filename error (contains /..) " + dnl_ + "sub/../..");
}

TEST_F(Download, LargerThanFourGigabytesStreams) {
  const off_t size = (off_t(4) << 30) + 4096 + 3;
  std::string path = dnl_ + "huge.img";
  {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    ASSERT_EQ(pwrite(fd, "END", 3, size - 3), 3);
    close(fd);
  }
  // Counted as it arrives: the answer is too large to collect.
  std::vector<std::string> command = testing::program_command(testing::program("ctl/kiv-ctl"));
  std::string query = "QUERY_STRING=cmd=dow&file=" + std::to_string(inode_of(path));
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::string path_env = "PATH=/usr/bin:/bin";
  char* envp[] = {query.data(), path_env.data(), nullptr};
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_addclose(&actions, ends[0]);
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);

  std::string head, tail;
  long long received = 0;
  std::vector<char> block(1 << 20);
  std::string expected_headers = headers("huge.img", size);
  for (;;) {
    ssize_t n = read(ends[0], block.data(), block.size());
    if (n <= 0) break;
    size_t used = 0;
    if (head.size() < expected_headers.size()) {
      used = std::min(size_t(n), expected_headers.size() - head.size());
      head.append(block.data(), used);
    }
    received += n - ssize_t(used);
    tail.append(block.data() + used, size_t(n) - used);
    if (tail.size() > 16) tail.erase(0, tail.size() - 16);
  }
  close(ends[0]);
  int status;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(head, expected_headers);
  EXPECT_EQ(received, size);
  EXPECT_TRUE(tail.ends_with(std::string(13, '\0') + "END"));
}

}  // namespace
}  // namespace kiv
