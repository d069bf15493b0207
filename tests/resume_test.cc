// After a power cut: kivd's start continues the transfers that were running,
// leaves the ones the user stopped, sweeps what interrupted requests left,
// and the status answer tells what it made of every job record.
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "common/ctorrent_state.h"
#include "common/job_record.h"
#include "daemon/resume.h"
#include "tests/support/installation.h"
#include "tests/support/processes.h"
#include "tests/support/programs.h"
#include "tests/support/swarm.h"
#include "tests/support/web.h"

namespace kiv {
namespace {

using testing::body_of;
using testing::eventually;
using testing::read_text;
using testing::write_text;

const std::string kUnreadable = "reason:\"record unreadable\"";


/// The job object of `log` in a status answer, "" when it is not listed.
std::string job_object(const std::string& answer, const std::string& log) {
  size_t at = answer.find("{obj:\"" + log + "@");
  return at == std::string::npos ? "" : answer.substr(at, answer.find('}', at) + 1 - at);
}

// What the status answer makes of each form a record can have on the disk.
TEST(ResumeRecords, StatusOfEachRecordText) {
  testing::Installation installation;
  struct Case {
    const char* id;
    std::string record;  // absent: "-"
    bool unreadable;
  } cases[] = {
      {"Old001", "4242\nhttp://h/x\n\n", false},                      // before folders
      {"Old002", "4242\nhttp://h/x\n-t 3\n/sub\n", false},            // before wishes
      {"New001", "4242\nhttp://h/x\n\n/sub\nrunning\n", false},
      {"New002", "4242\n" + installation.dnldir() + "c.torrent\n\n\nstopped\n", false},
      {"Cut001", "", true},                                           // empty
      {"Cut002", "4242\nhttp://h/", true},                            // cut in the middle
      {"Cut003", "4242\nhttp://h/x\n\n/sub\nrun", true},
      {"Bad001", "pid\nhttp://h/x\n\n", true},
      {"Gone01", "-", false},  // no record at all: listed by its log as always
  };
  for (const Case& c : cases) {
    if (c.record != "-") write_text(installation.trkdir() + c.id, c.record);
    write_text(installation.trkdir() + c.id + (c.id[0] == 'N' && c.id[5] == '2' ? ".tor" : ".wgt"),
               "log\n");
  }
  std::string answer =
      body_of(installation.run("list/kiv-list", {"QUERY_STRING=full=1"}));
  for (const Case& c : cases) {
    std::string log = std::string(c.id) + (c.id[0] == 'N' && c.id[5] == '2' ? ".tor" : ".wgt");
    std::string object = job_object(answer, log);
    ASSERT_FALSE(object.empty()) << log << " never left out: " << answer;
    EXPECT_EQ(object.find(kUnreadable) != std::string::npos, c.unreadable) << object;
    if (c.unreadable) {
      EXPECT_NE(object.find("state:\"failed\""), std::string::npos) << object;
    }
  }
}

// Which jobs a start continues, by what their record and log say. Seeding
// is what the user started too: a torrent cut off while seeding goes on,
// unless its own limit had ended it.
TEST(ResumeRecords, SeedingTorrentsGoOnUnlessTheirLimitEndedThem) {
  testing::Installation installation;
  const std::string logs = std::string(KIV_SOURCE_DIR) + "/common/job_logs/";
  const std::string torrent = installation.dnldir() + "a.torrent";
  const std::string link = "magnet:?xt=urn:btih:fbdd8c1399371efcc3fcb9bdc0f80687644eec17";
  std::string signalled = read_text(logs + "magnet-finished.tor");
  const std::string over = "\n12/09 18:09:47 [NOTICE] Seeding is over.";
  signalled.erase(signalled.find(over), over.size());
  const std::string quitting =  // seeding for 1 hour, ended by a signal or by it
      read_text(logs + "seeding.tor") + "\n| 0/0/3 [23/23/23] 0MB,0MB | 0,0K/s | 0,0K E:0,1 Quitting";
  struct Case {
    const char* id;
    std::string log, source, options;
    const char* wish;
    long long seconds_run;  // from the record's writing to the log's
    bool resumed;
  } cases[] = {
      {"Wgt001", read_text(logs + "partial.wgt"), "http://h/big.bin", "", "running", 60, true},
      {"Wgt002", read_text(logs + "finished.wgt"), "http://h/small.bin", "", "running", 60, false},
      // Killed while seeding: no quitting line.
      {"Tor001", read_text(logs + "seeding.tor"), torrent, "-e 1", "running", 60, true},
      {"Tor002", read_text(logs + "seeding.tor"), torrent, "-e 1", "stopped", 60, false},
      // Quitting early (a reboot's signal), or after its hours or ratio.
      {"Tor003", quitting, torrent, "", "running", 600, true},
      {"Tor004", quitting, torrent, "", "running", 3700, false},
      {"Tor005", quitting, torrent, "-E 1.5", "running", 600, false},
      {"Tor006", read_text(logs + "finished.tor"), torrent, "-e 0", "running", 60, false},
      {"Tor007", read_text(logs + "failed.tor"), torrent, "", "running", 60, false},
      {"Mag001", read_text(logs + "magnet-running.tor"), link, "", "running", 60, true},
      {"Mag002", signalled, link, "", "running", 60, true},
      {"Mag003", read_text(logs + "magnet-finished.tor"), link, "", "running", 60, false},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    std::string record = installation.trkdir() + c.id;
    std::string log = record + (c.id[0] == 'W' ? ".wgt" : ".tor");
    // A process number no process can have.
    write_text(record, "999999999\n" + c.source + "\n" + c.options + "\n\n" + c.wish + "\n");
    write_text(log, c.log);
    timespec written[2] = {{1700000000, 0}, {1700000000, 0}},
             last_line[2] = {{1700000000 + c.seconds_run, 0}, {1700000000 + c.seconds_run, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, record.c_str(), written, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, log.c_str(), last_line, 0), 0);
    if (c.resumed) expected.push_back(log.substr(log.rfind('/') + 1));
  }
  testing::ChildResult resumed = testing::run_in_child([&] {
    config().trkdir = installation.trkdir();
    config().dnldir = installation.dnldir();
    for (const std::string& name : interrupted_jobs()) printf("%s\n", name.c_str());
  });
  std::vector<std::string> got;
  for (size_t at = 0, end; (end = resumed.out.find('\n', at)) != std::string::npos; at = end + 1)
    got.push_back(resumed.out.substr(at, end - at));
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected) << resumed.err;
}

/// A box to cut the power of: an installation with its own kivd, and a
/// source site of its own (the Internet, which stays up).
/// The machine's trees that private_tmp bound in below the test's own /tmp.
std::vector<std::string>& bound_trees() {
  static std::vector<std::string> trees;
  return trees;
}

class PowerCut {
 public:
  PowerCut() {
    testing::copy_program("daemon/kivd", kivd());
    write_text(box_.root() + "kiv.conf", "# defaults\n");
    mkdir((source_.root() + "www/kiv/src").c_str(), 0755);
  }

  std::string kivd() const { return box_.root() + "bin/kivd"; }
  const testing::Installation& box() const { return box_; }
  testing::WebSite& site() { return site_; }
  std::string source_file(const std::string& name) const {
    return source_.root() + "www/kiv/src/" + name;
  }

  void start_kivd() {
    testing::ChildResult started =
        testing::run_program(testing::program_command(kivd()), {"PATH=/usr/bin:/bin"});
    ASSERT_EQ(started.exit_code(), 0) << started.out << started.err;
    ASSERT_TRUE(eventually([&] { return !testing::processes_running(kivd()).empty(); }));
  }
  std::string ctl(const std::string& cmd, const std::string& file,
                  std::vector<std::string> env = {}) {
    env.push_back("FORM_cmd=" + cmd);
    env.push_back("FORM_file=" + file);
    return body_of(box_.run("ctl/kiv-ctl", env));
  }
  std::string status() { return body_of(box_.run("list/kiv-list", {"QUERY_STRING=full=1"})); }
  /// The job log names of a kind (".wgt", ".tor"), sorted.
  std::vector<std::string> jobs(const std::string& suffix = ".wgt") const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(box_.trkdir()))
      if (entry.path().extension() == suffix) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string pid_of(const std::string& log) const {
    return parse_record(read_text(box_.trkdir() + log.substr(0, log.find('.')))).pid;
  }
  /// Every entry below the installation root but the job logs' growth.
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(box_.root()))
      names.insert(entry.path());
    return names;
  }
  /// SIGKILL to kivd and its workers, and with `transfers` to every wget too:
  /// what a power cut does (this runs in a PID namespace of its own).
  void kill_box(bool transfers) {
    testing::end_processes_running(kivd());
    if (transfers) testing::end_processes_running("/usr/bin/wget");
  }
  /// What a reboot does to /tmp (a file system of this test's own): only the
  /// two installations, which stand for the box's disk and the Internet, and
  /// the folders in `outside` (more of the Internet) stay.
  void empty_tmp(const std::vector<std::string>& outside = {}) {
    std::set<std::string> kept = {box_.root(), source_.root()};
    kept.insert(outside.begin(), outside.end());
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
      std::string path = entry.path().string() + "/";
      // The machine's own trees bound in below it are never removed.
      bool holds_bound = std::any_of(bound_trees().begin(), bound_trees().end(),
                                     [&](const std::string& tree) {
                                       return (tree + "/").starts_with(path);
                                     });
      if (!kept.contains(path) && !holds_bound) std::filesystem::remove_all(entry.path());
    }
  }

 private:
  testing::Installation source_;
  testing::WebSite site_{source_};
  testing::Installation box_;
};

off_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string random_bytes(size_t size) {
  std::string data(size, '\0');
  unsigned state = 2654435761u;
  for (char& c : data) c = char((state = state * 1103515245u + 12345u) >> 16);
  return data;
}

/// Mounts an empty /tmp over the machine's, as a reboot leaves it. The trees
/// the test runs from (sources, build, programs) are bound back where they
/// were when they lay below /tmp, as in a clone made there.
bool private_tmp() {
  std::string self = std::filesystem::read_symlink("/proc/self/exe");
  std::vector<std::pair<std::string, UniqueFd>> trees;
  for (std::string tree : {std::string(KIV_SOURCE_DIR), testing::program(""),
                           std::filesystem::path(self).parent_path().parent_path().string()}) {
    tree = std::filesystem::weakly_canonical(tree).string();
    if (!tree.starts_with("/tmp/")) continue;
    bound_trees().push_back(tree);
    trees.emplace_back(tree, UniqueFd(open(tree.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
  }
  if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return false;
  for (auto& [tree, fd] : trees) {
    std::filesystem::create_directories(tree);
    std::string held = "/proc/self/fd/" + std::to_string(fd.get());
    if (!fd.valid() || mount(held.c_str(), tree.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      return false;
  }
  return true;
}

// Runs the test below as process 1 of a PID namespace of its own, over a
// /tmp of its own, so that killing "every process of the box" and emptying
// /tmp touch nothing else on the machine.
TEST(Resume, AfterAPowerCutInItsOwnNamespace) {
  if (geteuid() != 0 ||
      testing::run_program({"/usr/bin/unshare", "--pid", "--fork", "--mount-proc", "/bin/true"},
                           {})
              .exit_code() != 0)
    GTEST_SKIP() << "no PID namespace here (needs root and unshare)";
  if (!testing::WebSite::available()) GTEST_SKIP() << "lighttpd or curl is not installed";
  std::string self = std::filesystem::read_symlink("/proc/self/exe");
  std::vector<std::string> env = testing::programs_environment();
  env.push_back("KIV_RESUME_INSIDE=1");
  for (const char* inside : {"DISABLED_RunningJobsContinueStoppedOnesStay",
                             "DISABLED_TorrentContinuesThenSeedsOn"}) {
    testing::ChildResult inner = testing::run_program(
        {"/usr/bin/unshare", "--pid", "--fork", "--mount-proc", "--propagation", "private", self,
         std::string("--gtest_filter=ResumeInside.") + inside, "--gtest_also_run_disabled_tests"},
        env);
    EXPECT_EQ(inner.exit_code(), 0) << inner.out << inner.err;
    EXPECT_NE(inner.out.find("[  PASSED  ] 1 test"), std::string::npos) << inner.out << inner.err;
  }
}

TEST(ResumeInside, DISABLED_RunningJobsContinueStoppedOnesStay) {
  if (!getenv("KIV_RESUME_INSIDE")) GTEST_SKIP() << "run by Resume.AfterAPowerCutInItsOwnNamespace";
  ASSERT_TRUE(private_tmp());
  PowerCut box;
  const std::string whole = random_bytes(1500000);
  write_text(box.source_file("big.bin"), whole);
  write_text(box.source_file("other.bin"), whole);
  ASSERT_TRUE(box.site().start());
  box.start_kivd();
  const std::string dnl = box.box().dnldir();

  // One transfer runs, slowly; the user stops the other.
  ASSERT_EQ(box.ctl("wget", box.site().url("/src/big.bin"), {"FORM_para=--limit-rate=100k"}),
            "OK");
  std::string running = box.jobs().at(0);
  ASSERT_EQ(box.ctl("wget", box.site().url("/src/other.bin"), {"FORM_para=--limit-rate=100k"}),
            "OK");
  std::vector<std::string> both = box.jobs();
  std::string stopped = both[0] == running ? both[1] : both[0];
  ASSERT_TRUE(eventually([&] { return size_of(dnl + "other.bin") > 0; }, 60));
  ASSERT_EQ(box.ctl("stop", stopped), "OK");
  ASSERT_TRUE(eventually([&] { return size_of(dnl + "big.bin") > 100000; }, 60));

  // Leftovers of requests the cut ended, a temporary a live request still
  // holds, and a user's file that only looks like one.
  write_text(dnl + ".a.bin.upload-Ab12Cd", "part");
  mkdir((dnl + "sub").c_str(), 0755);
  write_text(dnl + "sub/.b.tar.pack-Zz09aa", "part");
  write_text(dnl + ".held.copy-Hh11hh", "part");
  UniqueFd held(open((dnl + ".held.copy-Hh11hh").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
  write_text(dnl + ".mine.upload-short", "the user's");

  box.kill_box(true);
  off_t cut_at = size_of(dnl + "big.bin");
  off_t stopped_at = size_of(dnl + "other.bin");
  ASSERT_GT(cut_at, 0);
  ASSERT_LT(cut_at, off_t(whole.size()));
  box.empty_tmp();
  std::set<std::string> before = box.files();

  box.start_kivd();
  // It grows from where it was, to the very bytes of the source.
  ASSERT_TRUE(eventually([&] { return !box.pid_of(running).empty() &&
                                      box.status().find(running + "@" + box.pid_of(running)) !=
                                          std::string::npos; },
                         60));
  off_t smallest = cut_at;
  EXPECT_TRUE(eventually([&] {
    off_t now = size_of(dnl + "big.bin");
    smallest = std::min(smallest, now);
    return now == off_t(whole.size());
  }, 120));
  EXPECT_EQ(smallest, cut_at) << "started over instead of continuing";
  EXPECT_EQ(read_text(dnl + "big.bin"), whole);
  // wget asked for the rest: its answer, or (once kivd has trimmed the log
  // to its latest readout) the bar's "+" for the bytes that were there.
  std::string log = read_text(box.box().trkdir() + running);
  EXPECT_TRUE(log.find("206 Partial Content") != std::string::npos ||
              log.find("[+") != std::string::npos)
      << log;

  // The stopped one stays stopped; nothing new but the notice.
  EXPECT_EQ(size_of(dnl + "other.bin"), stopped_at);
  std::string status = box.status();
  EXPECT_NE(status.find("{obj:\"" + stopped + "@\""), std::string::npos) << status;
  EXPECT_NE(status.find("resumed:{count:1,"), std::string::npos) << status;
  std::set<std::string> after = box.files();
  std::vector<std::string> appeared, removed;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(appeared));
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                      std::back_inserter(removed));
  EXPECT_EQ(appeared, std::vector<std::string>{box.box().trkdir() + "_resumed"});
  EXPECT_EQ(removed, (std::vector<std::string>{dnl + ".a.bin.upload-Ab12Cd",
                                               dnl + "sub/.b.tar.pack-Zz09aa"}));

  // kivd alone ended: its transfer goes on, and no second one joins it.
  ASSERT_EQ(box.ctl("startdnl", stopped), "OK");
  std::string pid = box.pid_of(stopped);
  ASSERT_FALSE(pid.empty());
  box.kill_box(false);
  box.start_kivd();
  ASSERT_TRUE(eventually([&] { return box.status().find("resumed:") == std::string::npos; }, 60))
      << "a start that resumed nothing leaves no notice";
  EXPECT_EQ(testing::processes_running("/usr/bin/wget").size(), 1u);
  EXPECT_EQ(box.pid_of(stopped), pid);
}

// A torrent resumed at kivd's start keeps the status line chosen when it
// was added: its record says so, and ctorrent is given the keys for it.
TEST(ResumeRecords, TorrentKeepsItsStatusLine) {
  testing::KeepFile keep_input("/tmp/kiv-sl");
  PowerCut box;
  testing::TempDir made;
  write_text(made.path() + "sl.bin", random_bytes(200000));
  const std::string torrent = box.box().dnldir() + "sl.torrent";
  ASSERT_EQ(testing::run_program({"/usr/bin/ctorrent", "-t", "-u", "http://127.0.0.1:9/announce",
                                  "-s", torrent, made.path() + "sl.bin"},
                                 {})
                .exit_code(),
            0);
  const std::string record = box.box().trkdir() + "Asl001";
  write_text(record, "999999999\n" + torrent + "\n-e 0 -i 127.0.0.1 -I 127.0.0.1 -p " +
                         std::to_string(testing::free_port()) + "\n\nrunning\n\nasl\n");
  write_text(record + ".tor",
             read_text(std::string(KIV_SOURCE_DIR) + "/common/job_logs/stopped.tor"));
  write_text("/tmp/kiv-sl", "06");
  box.start_kivd();
  EXPECT_TRUE(eventually([&] {
    std::string pid = box.pid_of("Asl001.tor");
    return !pid.empty() && pid != "999999999";
  }, 30)) << read_text(record);
  EXPECT_EQ(read_text("/tmp/kiv-sl"), "07");
  EXPECT_TRUE(read_text(record).ends_with("\nasl\n")) << read_text(record);
  testing::end_processes_running(box.kivd());
  testing::end_processes_running("/usr/bin/ctorrent");
}

/// Whether a process waits for the lock on `dir` (its line in /proc/locks
/// starts with "->" and names the directory's device and inode).
bool lock_awaited(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return false;
  char id[64];
  snprintf(id, sizeof id, " %02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev),
           static_cast<unsigned long long>(st.st_ino));
  std::string locks = read_text("/proc/locks");
  for (size_t at = 0, end; (end = locks.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = locks.substr(at, end - at);
    if (line.find(" -> ") != std::string::npos && line.find(id) != std::string::npos) return true;
  }
  return false;
}

// A user's stop made while kivd starts holds: the resume reads the records
// only once it has the job directory's lock, which the stop holds until its
// record is written.
TEST(ResumeRecords, AStopMadeWhileKivdStartsHolds) {
  PowerCut box;
  const std::string partial = read_text(std::string(KIV_SOURCE_DIR) + "/common/job_logs/partial.wgt");
  const std::string trkdir = box.box().trkdir();
  auto record = [](const char* wish) {
    return "999999999\nhttp://127.0.0.1:9/big.bin\n\n\n" + std::string(wish) + "\n";
  };
  for (const char* id : {"Wrn001", "Wst001"}) {
    write_text(trkdir + id, record("running"));
    write_text(trkdir + id + ".wgt", partial);
  }
  UniqueFd dir(open(trkdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(flock(dir.get(), LOCK_EX), 0);
  box.start_kivd();
  ASSERT_TRUE(eventually([&] { return lock_awaited(trkdir); }, 30));
  write_text(trkdir + "Wst001", record("stopped"));  // as the stop leaves it
  dir.close();
  // Written once the resume has gone through every job.
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(trkdir + "_resumed"); }, 60));
  EXPECT_TRUE(read_text(trkdir + "_resumed").starts_with("1 ")) << read_text(trkdir + "_resumed");
  EXPECT_EQ(read_text(trkdir + "Wst001"), record("stopped"));
  EXPECT_NE(box.pid_of("Wrn001.wgt"), "999999999");
  testing::end_processes_running(box.kivd());
  box.ctl("del", "Wrn001.wgt");  // its wget, by the job's own files
}

/// The pieces of `file` that hold what `content` holds there.
size_t whole_pieces(const std::string& file, const std::string& content) {
  std::string got = read_text(file);
  size_t pieces = 0;
  for (size_t at = 0; at < got.size(); at += testing::Swarm::kPiece)
    pieces += got.compare(at, testing::Swarm::kPiece, content, at, testing::Swarm::kPiece) == 0;
  return pieces;
}

/// The pieces ctorrent says it has in `log` once it has checked the files
/// it found (its first status line after that).
std::optional<long long> checked_pieces(const std::string& log) {
  size_t checked = log.find("\nChecking completed.");
  if (checked == std::string::npos) return std::nullopt;
  std::optional<long long> have;
  for_each_piece(std::string_view(log).substr(checked), [&](std::string_view line) {
    std::optional<CtorrentStatus> status = last_ctorrent_status(line);
    if (status && !have) have = status->have;
  });
  return have;
}

TEST(ResumeInside, DISABLED_TorrentContinuesThenSeedsOn) {
  if (!getenv("KIV_RESUME_INSIDE")) GTEST_SKIP() << "run by Resume.AfterAPowerCutInItsOwnNamespace";
  ASSERT_TRUE(private_tmp());
  PowerCut box;
  testing::Swarm swarm(900000);
  const std::string dnl = box.box().dnldir(), target = dnl + "content.bin";
  mkdir((dnl + "sub").c_str(), 0755);
  write_text(dnl + "sub/a.torrent", read_text(swarm.torrent()));
  box.start_kivd();
  // Seeds for an hour once whole.
  std::string para = "-i 127.0.0.1 -I 127.0.0.1 -p " + std::to_string(testing::free_port()) +
                     " -e 1";
  ASSERT_EQ(box.ctl("ctor", "sub/a.torrent", {"FORM_para=" + para, "FORM_down=40"}), "OK");
  ASSERT_EQ(box.jobs(".tor").size(), 1u);
  const std::string job = box.jobs(".tor")[0];
  auto cut = [&] {
    box.kill_box(false);
    pid_t transfer = pid_t(std::stol(box.pid_of(job)));
    kill(transfer, SIGKILL);
    waitpid(transfer, nullptr, 0);
    box.empty_tmp({swarm.folder()});
  };
  // The box's transfer runs once, beside the swarm's seeder.
  auto one_transfer = [&] {
    return testing::processes_running("/usr/bin/ctorrent").size() == 2;
  };

  ASSERT_TRUE(eventually([&] { return whole_pieces(target, swarm.content()) >= 3; }, 60))
      << read_text(box.box().trkdir() + job);
  cut();
  size_t pieces_at_cut = whole_pieces(target, swarm.content());
  ASSERT_LT(pieces_at_cut * testing::Swarm::kPiece, swarm.content().size());
  std::string cut_pid = box.pid_of(job);

  // It continues from the pieces it had, to the very bytes of the content.
  box.start_kivd();
  ASSERT_TRUE(eventually([&] { return box.pid_of(job) != cut_pid; }, 60));
  std::optional<long long> first;
  ASSERT_TRUE(eventually([&] {
    return (first = checked_pieces(read_text(box.box().trkdir() + job))).has_value();
  }, 60)) << read_text(box.box().trkdir() + job);
  EXPECT_GE(*first, (long long)(pieces_at_cut)) << "started over instead of continuing";
  EXPECT_TRUE(one_transfer());
  EXPECT_TRUE(eventually([&] { return read_text(target) == swarm.content(); }, 120))
      << read_text(box.box().trkdir() + job);
  EXPECT_TRUE(eventually([&] { return box.status().find("state:\"seeding\"") != std::string::npos; }))
      << box.status();

  // Cut while seeding: it seeds on, its hour not over.
  cut();
  box.start_kivd();
  EXPECT_TRUE(eventually([&] { return box.status().find("state:\"seeding\"") != std::string::npos; }, 60))
      << box.status() << read_text(box.box().trkdir() + job);
  EXPECT_NE(box.status().find("resumed:{count:1,"), std::string::npos) << box.status();
  EXPECT_TRUE(one_transfer());
  EXPECT_EQ(read_text(target), swarm.content());
}

}  // namespace
}  // namespace kiv
