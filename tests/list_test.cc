// kiv-list answers as the front end evaluates them.
#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>


#include "common/quote.h"
#include "tests/support/amule.h"
#include "tests/support/installation.h"
#include "tests/support/processes.h"
#include "tests/support/script.h"

namespace kiv {
namespace {

using testing::kHeaders;
using testing::script_strings;
using testing::write_text;

class KivList : public ::testing::Test {
 protected:
  testing::Installation installation_;
  std::string dnl_ = installation_.dnldir();
  std::string trk_ = installation_.trkdir();

  /// The answer body; the request must succeed with the header block.
  std::string body(std::vector<std::string> env) {
    env.push_back("TZ=UTC0");
    auto result = installation_.run("list/kiv-list", std::move(env));
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_TRUE(result.out.starts_with(kHeaders)) << result.out;
    return result.out.substr(std::min(result.out.size(), kHeaders.size()));
  }

  /// The figures of the disk member at the end of `text`: size, used,
  /// available and the percentage; empty when it is not well formed.
  static std::vector<unsigned long long> disk_figures(const std::string& text) {
    size_t at = text.rfind("disk:{");
    if (at == std::string::npos) return {};
    unsigned long long size, used, available, percent;
    int length = 0;
    if (sscanf(text.c_str() + at, "disk:{size:%llu,used:%llu,available:%llu,perc:'%llu%%'}}%n",
               &size, &used, &available, &percent, &length) != 4 ||
        at + size_t(length) != text.size())
      return {};
    return {size, used, available, percent};
  }

  /// `text` with the disk member, which depends on the machine, made fixed,
  /// and without the queue's member before it (tests/queue_test.cc).
  static std::string without_disk(const std::string& text) {
    EXPECT_EQ(disk_figures(text).size(), 4u) << text;
    EXPECT_NE(text.rfind(",queue:{"), std::string::npos) << text;
    return text.substr(0, text.rfind("queue:{")) + "disk:{...}}";
  }

  void file(const std::string& path, off_t size, time_t mtime) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    touch(path, mtime);
  }
  static void touch(const std::string& path, time_t mtime) {
    timespec times[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  /// The member that says when a job was added: its log's birth.
  static std::string added(const std::string& log) {
    struct statx st;
    EXPECT_EQ(statx(AT_FDCWD, log.c_str(), 0, STATX_BTIME, &st), 0);
    EXPECT_TRUE(st.stx_mask & STATX_BTIME) << "the test's file system keeps no birth time";
    return ",added:" + std::to_string(st.stx_btime.tv_sec * 1000LL + st.stx_btime.tv_nsec / 1000000);
  }
  static std::string inode(const std::string& path) {
    struct stat st;
    stat(path.c_str(), &st);
    return std::to_string(st.st_ino);
  }
};

TEST_F(KivList, StatusObjectWholeAnswer) {
  file(dnl_ + "video.avi", 734214963, 1241373907);  // 3 May 2009 18:05:07 UTC
  file(dnl_ + "notes.txt", 1280, 1230768000);       // 1 January 2009 00:00:00
  file(dnl_ + "year-end", 0, 1262303999);           // 31 December 2009 23:59:59
  // Past 2038 and over 4 GiB (a server's Last-Modified sets what it likes):
  // 32-bit boxes must see it as it is, not as an empty file of 1970.
  file(dnl_ + "archive.iso", off_t(5) << 30, 2208988800);  // 1 January 2040
  EXPECT_EQ(without_disk(body({})),
            "{curdir: '/',dnl:["
            "{file:'year-end',type:'f',inode:" + inode(dnl_ + "year-end") +
                ",size:'0',date:'31/11/2009 23:59:59'},"
            "{file:'video.avi',type:'f',inode:" + inode(dnl_ + "video.avi") +
                ",size:'700.2 M',date:'3/4/2009 18:5:7'},"
            "{file:'notes.txt',type:'f',inode:" + inode(dnl_ + "notes.txt") +
                ",size:'1.3 K',date:'1/0/2009 0:0:0'},"
            "{file:'archive.iso',type:'f',inode:" + inode(dnl_ + "archive.iso") +
                ",size:'5.0 G',date:'1/0/2040 0:0:0'}"
            "],disk:{...}}");
  // Without FORM_full the eDonkey refresh is not run either.
  body({"QUERY_STRING=amule=true"});
  EXPECT_NE(access((trk_ + "amule.amu").c_str(), F_OK), 0);
}

TEST_F(KivList, EntriesInReverseByteOrderWithTypes) {
  for (const char* name : {"b", "a", "Z", ".x", "B"}) file(dnl_ + name, 1, 0);
  mkdir((dnl_ + "dir").c_str(), 0755);
  symlink((dnl_ + "dir").c_str(), (dnl_ + "link").c_str());
  symlink((dnl_ + "gone").c_str(), (dnl_ + "dangling").c_str());
  std::string text = body({});
  EXPECT_EQ(script_strings(text, "o.dnl.map(e => e.file + ':' + e.type)"),
            (std::vector<std::string>{"link:d", "dir:d", "dangling:f", "b:f", "a:f", "Z:f",
                                      "B:f", ".x:f"}));
  EXPECT_EQ(script_strings("{dnl:[]}", "o.dnl"), std::vector<std::string>{});
}

TEST_F(KivList, HostileNamesComeBackExactlyAndRunNothing) {
  const std::vector<std::string> names = {
      "ends\\", "it's", "\\'+(globalThis.pwned=1)+'", "new\nline", "<script>x",
      "$(reboot)", "tab\tcr\r", "quote\"", "\xC3\xA9t\xC3\xA9"};
  for (const std::string& name : names) file(dnl_ + name, 10, 0);
  std::string text = body({});
  std::vector<std::string> listed = script_strings(text, "o.dnl.map(e => e.file)");
  std::sort(listed.begin(), listed.end());
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected) << text;
  // Only names that need it are escaped.
  EXPECT_NE(text.find("{file:'it\\'s',"), std::string::npos);
  EXPECT_NE(text.find("{file:'quote\"',"), std::string::npos);

  // The echoed current directory too.
  std::string dir = "sub'\\";
  mkdir((dnl_ + dir).c_str(), 0755);
  file(dnl_ + dir + "/inner", 1, 0);
  text = body({"QUERY_STRING=curdir=/sub%27%5C"});
  EXPECT_EQ(script_strings(text, "[o.curdir].concat(o.dnl.map(e => e.file))"),
            (std::vector<std::string>{"/" + dir, "inner"}));
}

TEST_F(KivList, RefusedCurrentDirectoryShowsTheDownloadDirectory) {
  mkdir((dnl_ + "..hidden").c_str(), 0755);
  file(dnl_ + "top", 1, 0);
  for (const char* query : {"curdir=/..hidden", "curdir=/../..", "curdir=/missing"})
    EXPECT_EQ(script_strings(body({std::string("QUERY_STRING=") + query}),
                             "[o.curdir].concat(o.dnl.map(e => e.file))"),
              (std::vector<std::string>{"/", "top", "..hidden"}))
        << query;
}

TEST_F(KivList, JobListsWithLiveTransfers) {
  testing::SilentListener listener;
  testing::Running wget(testing::waiting_wget(listener, trk_ + "Qa81xZ.wgt"), trk_);
  wget.wait_for_exec("/wget");
  testing::Running sleeper({"/bin/sleep", "30"}, trk_);
  sleeper.wait_for_exec("/sleep");
  write_text(trk_ + "Qa81xZ", wget.pid() + "\nhttp://x/\n\n");
  write_text(trk_ + "Qa81xZ.wgt", "log");
  write_text(trk_ + "k3Jd9a", sleeper.pid() + "\n/t.torrent\n\n");  // not ctorrent
  write_text(trk_ + "k3Jd9a.tor", "log");
  write_text(trk_ + "_wversion.nfo", "notice");
  // Only names that end in a kind are its jobs: a magnet job's torrent,
  // saved beside its log, and a copy of a log are none.
  write_text(trk_ + "0123456789abcdef0123456789abcdef01234567.torrent", "d4:infoe");
  write_text(trk_ + "Qa81xZ.wgt.bak", "log");
  // A start or restart rewrites the record and the log, but the job was
  // added when its log was made.
  touch(trk_ + "Qa81xZ", 1000000000);
  touch(trk_ + "k3Jd9a", 1000000000);
  const std::string expected =
      "{nfo:[{obj:\"_wversion.nfo@\"" + added(trk_ + "_wversion.nfo") + "}],amu:[],"
      "tor:[{obj:\"k3Jd9a.tor@\"" + added(trk_ + "k3Jd9a.tor") +
      ",name:\"t.torrent\",state:\"stopped\",done:0,size:-1,down:0,up:0,peers:0,seeds:0}],"
      "wgt:[{obj:\"Qa81xZ.wgt@" + wget.pid() + "\"" + added(trk_ + "Qa81xZ.wgt") +
      ",name:\"http://x/\",state:\"running\",done:0,size:-1,down:0,up:0"
      "}],torrents:0,wgets:1,curdir: '/',dnl:[],disk:{...}}";
  EXPECT_EQ(without_disk(body({"QUERY_STRING=full=1"})), expected);
  // dnl=0 leaves out only the listing; any other value keeps it.
  const std::string listing = "curdir: '/',dnl:[],";
  std::string bare = expected;
  bare.erase(bare.find(listing), listing.size());
  EXPECT_EQ(without_disk(body({"QUERY_STRING=full=1&dnl=0"})), bare);
  EXPECT_TRUE(body({"QUERY_STRING=dnl=0"}).starts_with("{queue:{"));
  EXPECT_EQ(without_disk(body({"QUERY_STRING=full=1&dnl=00"})), expected);
}

// A real wget started through kiv-ctl from a slow loopback server: the
// status alone tells its name, size, progress and speed, and then that the
// stop left it stopped.
TEST_F(KivList, StateMembersOfARunningWget) {
  testing::TempDir served;
  write_text(served.path() + "big file.bin", std::string(3000000, 'x'));
  int port = testing::free_port();
  testing::Running server({"/usr/bin/python3", "-m", "http.server", std::to_string(port), "--bind",
                           "127.0.0.1", "--directory", served.path()},
                          served.path());
  ASSERT_TRUE(testing::eventually([&] { return testing::accepts_connections(port); }));
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big%20file.bin?at=1";
  auto ctl = [&](std::vector<std::string> env) {
    testing::ChildResult result = installation_.run("ctl/kiv-ctl", std::move(env));
    return result.out.substr(std::min(result.out.size(), kHeaders.size()));
  };
  ASSERT_EQ(ctl({"FORM_cmd=wget", "FORM_file=" + url, "FORM_para=", "FORM_down=64"}), "OK");
  // Whatever becomes of the test, the job and its wget end with it.
  struct Cleared {
    std::function<void()> clear;
    ~Cleared() { clear(); }
  } cleared{[&] {
    for (const std::string& job : script_strings(body({"QUERY_STRING=full=1"}),
                                                 "o.wgt.map(j => j.obj.split('@')[0])"))
      ctl({"FORM_cmd=del", "FORM_file=" + job});
  }};
  const std::string members =
      "o.wgt.flatMap(j => [j.name, j.state, String(j.size), String(j.done > 0), "
      "String(j.down > 0), String(j.down <= 2 * 64 * 1024), String(j.up), String('reason' in j)])";
  std::vector<std::string> seen;
  EXPECT_TRUE(testing::eventually([&] {
    seen = script_strings(body({"QUERY_STRING=full=1"}), members);
    return seen.size() > 3 && seen[3] == "true" && seen[4] == "true";
  }, 30)) << seen.size();
  EXPECT_EQ(seen, (std::vector<std::string>{"big file.bin", "running", "3000000", "true", "true",
                                            "true", "0", "false"}));
  std::string job = script_strings(body({"QUERY_STRING=full=1"}), "o.wgt.map(j => j.obj.split('@')[0])").at(0);
  ASSERT_EQ(ctl({"FORM_cmd=stop", "FORM_file=" + job}), "OK");
  EXPECT_TRUE(testing::eventually([&] {
    seen = script_strings(body({"QUERY_STRING=full=1"}), members);
    return seen.size() > 1 && seen[1] == "stopped";
  }, 30)) << seen.size();
  EXPECT_EQ(seen.at(4), "false");  // no speed once stopped
}

// Names in a torrent's log are the torrent maker's choice.
TEST_F(KivList, StateMembersFromHostileLogsStayText) {
  const std::string name = "\"+(globalThis.pwned=1)+\"\u2028</script>'";
  write_text(trk_ + "Hx1234", "\n/srv/a.torrent\n\n");
  write_text(trk_ + "Hx1234.tor", "-- 1/0/2026 0:0:0 --a.torrent\nFILES INFO\n<1> " + name +
                                       " [10]\nTotal: 0 MB\nerror, " + name + "\n");
  EXPECT_EQ(script_strings(body({"QUERY_STRING=full=1"}),
                           "o.tor.flatMap(j => [j.name, j.state, j.reason, String(j.size)])"),
            (std::vector<std::string>{name, "failed", "error, " + name, "10"}));
}

TEST_F(KivList, EdonkeyRefreshLeavesItsListInTheJobDirectory) {
  testing::AmuleDaemon amule;
  if (!amule.ready()) GTEST_SKIP() << "amuled is not installed or did not start";
  // The web server gives CGI programs no HOME; the box's setup provides one.
  std::string text = body({"QUERY_STRING=full=1&amule=true", "HOME=" + amule.home()});
  EXPECT_NE(testing::read_text(trk_ + "amule.amu").find("Connection established"),
            std::string::npos);
  EXPECT_TRUE(text.starts_with("{nfo:[],amu:[{obj:\"amule.amu@\"" + added(trk_ + "amule.amu") +
                               "}],tor:[]"))
      << text;
  // Any other value leaves the list alone.
  unlink((trk_ + "amule.amu").c_str());
  body({"QUERY_STRING=full=1&amule=True", "HOME=" + amule.home()});
  EXPECT_NE(access((trk_ + "amule.amu").c_str(), F_OK), 0);
}

TEST_F(KivList, EmptyJobDirectory) {
  EXPECT_EQ(without_disk(body({"QUERY_STRING=full="})),
            "{nfo:[],amu:[],tor:[],wgt:[],torrents:0,wgets:0,curdir: '/',dnl:[],disk:{...}}");
  rmdir(trk_.c_str());
  EXPECT_EQ(body({"QUERY_STRING=full="}),
            "Can't scan tracker directory:\n " + trk_);
}

TEST_F(KivList, DiskFiguresAgreeWithDf) {
  std::vector<unsigned long long> ours;
  std::string df;
  unsigned long long size = 0, used = 0, available = 0, percent = 0;
  bool read = false;
  // Other programs write to this disk meanwhile, a build hundreds of
  // megabytes at a time: both are read again until they agree but for a
  // little drift, or the wait is over.
  auto read_both = [&] {
    ours = disk_figures(body({}));
    df = testing::run_program({"/bin/df", "-k", "-P", dnl_}, {"LANG=C"}).out;
    return read = ours.size() == 4 &&
                  sscanf(df.c_str() + df.find('\n') + 1, "%*s %llu %llu %llu %llu%%", &size, &used,
                         &available, &percent) == 4;
  };
  testing::eventually([&] {
    return read_both() && std::max(ours[1], used) - std::min(ours[1], used) <= 65536 &&
           std::max(ours[2], available) - std::min(ours[2], available) <= 65536 &&
           std::max(ours[3], percent) - std::min(ours[3], percent) <= 1;
  });
  ASSERT_TRUE(read) << df;
  EXPECT_EQ(ours[0], size);
  EXPECT_NEAR(double(ours[1]), double(used), 65536);
  EXPECT_NEAR(double(ours[2]), double(available), 65536);
  EXPECT_NEAR(double(ours[3]), double(percent), 1);  // df rounds the share up
}

TEST_F(KivList, Tree) {
  mkdir((dnl_ + "Films").c_str(), 0755);
  mkdir((dnl_ + "Films/Old").c_str(), 0755);
  file(dnl_ + "Films/file", 1, 0);
  EXPECT_EQ(body({"QUERY_STRING=cmd=tree&file=tree1"}),
            "<ul rel=open id=tree1><li><span class='tree1' id='/'>dnl</span><ul>"
            "<li><span class='tree1' id='/Films/'>Films</span><ul>"
            "<li><span class='tree1' id='/Films/Old/'>Old</span></li></ul></li></ul></li></ul>");
  rmdir((dnl_ + "Films/Old").c_str());
  unlink((dnl_ + "Films/file").c_str());
  rmdir((dnl_ + "Films").c_str());

  // A folder whose path is exactly at the name limit is shown; one below it
  // that no request could name is left out, and the tree is still answered.
  std::string at_limit = std::string(250, 'a') + "/" + std::string(249, 'b');
  ASSERT_EQ(at_limit.size(), kMaxNameLength);
  mkdir((dnl_ + at_limit.substr(0, 250)).c_str(), 0755);
  mkdir((dnl_ + at_limit).c_str(), 0755);
  mkdir((dnl_ + at_limit + "/c").c_str(), 0755);
  EXPECT_EQ(body({"QUERY_STRING=cmd=tree&file=L"}),
            "<ul rel=open id=L><li><span class='L' id='/'>dnl</span><ul>"
            "<li><span class='L' id='/" + at_limit.substr(0, 250) + "/'>" + at_limit.substr(0, 250) +
                "</span><ul><li><span class='L' id='/" + at_limit + "/'>" + std::string(249, 'b') +
                "</span></li></ul></li></ul></li></ul>");
  rmdir((dnl_ + at_limit + "/c").c_str());
  rmdir((dnl_ + at_limit).c_str());
  rmdir((dnl_ + at_limit.substr(0, 250)).c_str());
  for (const char* command : {"tree", "subtree", "treeview"})
    EXPECT_EQ(body({std::string("QUERY_STRING=file=X&cmd=") + command}),
              "<ul rel=open id=X><li><span class='X' id='/'>dnl</span></li></ul>");
  EXPECT_EQ(body({"QUERY_STRING=cmd=list"}), "");
}

TEST_F(KivList, TreeNamesAreHtmlText) {
  const std::string hostile = "<img src=x onerror=alert(1)> it's \"q\" & more";
  mkdir((dnl_ + hostile).c_str(), 0755);
  std::string text = body({"QUERY_STRING=cmd=tree&file=t%20onclick%3Dalert(1)"});
  // A real HTML parser must find the names exactly, and no img element.
  std::string parse =
      "import sys\n"
      "from html.parser import HTMLParser\n"
      "class P(HTMLParser):\n"
      "  def handle_starttag(self, tag, attrs):\n"
      "    print(tag, attrs)\n"
      "  def handle_data(self, data):\n"
      "    print('text', repr(data))\n"
      "P(convert_charrefs=True).feed(sys.stdin.read())\n";
  std::string parsed = testing::run_program({"/usr/bin/python3", "-c", parse}, {}, text).out;
  EXPECT_EQ(parsed,
            "ul [('rel', 'open'), ('id', 't onclick=alert(1)')]\n"
            "li []\n"
            "span [('class', 't onclick=alert(1)'), ('id', '/')]\n"
            "text 'dnl'\n"
            "ul []\n"
            "li []\n"
            "span [('class', 't onclick=alert(1)'), ('id', '/<img src=x onerror=alert(1)> it\\'s \"q\" & more/')]\n"
            "text '<img src=x onerror=alert(1)> it\\'s \"q\" & more'\n")
      << text;
}

TEST_F(KivList, TreeShowsLinksBackAsLeaves) {
  // a/up and a/b/loop lead back up the way down; c/to-b leads sideways and
  // is followed, and so is its loop, back to a, which is not on that way.
  for (const char* dir : {"a", "a/b", "c"}) mkdir((dnl_ + dir).c_str(), 0755);
  symlink("..", (dnl_ + "a/up").c_str());
  symlink("../../a", (dnl_ + "a/b/loop").c_str());
  symlink("../a/b", (dnl_ + "c/to-b").c_str());
  symlink("nowhere", (dnl_ + "c/dangling").c_str());
  testing::TempDir outside;
  mkdir((outside.path() + "inner").c_str(), 0755);
  symlink(outside.path().c_str(), (dnl_ + "c/out").c_str());
  std::string text = body({"QUERY_STRING=cmd=tree&file=X"});
  auto node = [](const std::string& path, const std::string& name, const std::string& inner) {
    return "<li><span class='X' id='" + path + "/'>" + name + "</span>" + inner + "</li>";
  };
  for (const std::string& part :
       {node("/a/up", "up", ""), node("/a/b", "b", "<ul>" + node("/a/b/loop", "loop", "") + "</ul>"),
        node("/c/to-b/loop/b", "b", ""), node("/c/to-b/loop/up", "up", ""),
        node("/c/out", "out", "")})
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  EXPECT_EQ(text.find("dangling"), std::string::npos) << text;
  for (const char* entered : {"/a/up/a/", "/a/b/loop/b/", "/c/to-b/loop/b/loop/", "inner"})
    EXPECT_EQ(text.find(entered), std::string::npos) << entered << "\n" << text;
  EXPECT_TRUE(text.ends_with("</ul></li></ul>")) << text;
}

}  // namespace
}  // namespace kiv
