// Transfer jobs through kiv-ctl with the real wget and ctorrent, against
// servers, a tracker and a seeder of the test's own on loopback.
#include <csignal>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "common/config.h"
#include "common/date.h"
#include "common/file.h"
#include "daemon/trim.h"
#include "tests/support/installation.h"
#include "tests/support/processes.h"
#include "tests/support/swarm.h"
#include "tests/support/programs.h"
#include "tests/support/web.h"

namespace kiv {
namespace {

using testing::kHeaders;
using testing::accepts_connections;
using testing::eventually;
using testing::program_of;
using testing::read_text;
using testing::Running;
using testing::write_text;

constexpr std::string_view kOk = "OK";


off_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string random_bytes(size_t size) {
  std::string data(size, '\0');
  unsigned state = unsigned(getpid()) * 2654435761u;
  for (char& c : data) c = char((state = state * 1103515245u + 12345u) >> 16);
  return data;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

/// A job log name: a six-character job id and `suffix`.
bool is_job_log(const std::string& name, std::string_view suffix) {
  return name.size() == 6 + suffix.size() && name.ends_with(suffix) &&
         name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") ==
             6;
}

/// Ends every transfer that kiv-ctl started for the tests, by the numbers
/// seen in the job records, whatever became of the test.
class Transfers {
 public:
  explicit Transfers(std::string trkdir) : trkdir_(std::move(trkdir)) {}
  ~Transfers() {
    for (const std::string& name : job_names()) note(record(name).at(0));
    for (const std::string& pid : pids_) {
      std::string program = program_of(pid);
      if (program == "wget" || program == "ctorrent") kill(pid_t(std::stol(pid)), SIGKILL);
    }
  }
  Transfers(const Transfers&) = delete;
  Transfers& operator=(const Transfers&) = delete;

  void note(const std::string& pid) {
    if (!pid.empty()) pids_.insert(pid);
  }
  /// The job logs in the job directory.
  std::vector<std::string> job_names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(trkdir_)) {
      std::string name = entry.path().filename();
      if (name.ends_with(".wgt") || name.ends_with(".tor")) names.push_back(name);
    }
    return names;
  }
  /// The three lines of the record of `job_log` (the first one noted).
  std::vector<std::string> record(const std::string& job_log) {
    std::vector<std::string> lines =
        lines_of(read_text(trkdir_ + job_log.substr(0, job_log.rfind('.'))));
    lines.resize(3);
    note(lines[0]);
    return lines;
  }

 private:
  std::string trkdir_;
  std::set<std::string> pids_;
};

class Jobs : public ::testing::Test {
 protected:
  testing::Installation installation_;
  testing::KeepFile keep_input_{"/tmp/kiv-sl"};
  std::string dnl_ = installation_.dnldir();
  std::string trk_ = installation_.trkdir();
  Transfers transfers_{trk_};

  /// The answer body of kiv-ctl for `env`, with the header block checked.
  std::string ctl(std::vector<std::string> env) {
    testing::ChildResult result = installation_.run("ctl/kiv-ctl", std::move(env));
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_TRUE(result.out.starts_with(kHeaders)) << result.out;
    return result.out.substr(std::min(result.out.size(), kHeaders.size()));
  }
  std::string ctl(const std::string& cmd, const std::string& file,
                  std::vector<std::string> env = {}) {
    env.push_back("FORM_cmd=" + cmd);
    env.push_back("FORM_file=" + file);
    return ctl(std::move(env));
  }

  /// The one job log in the job directory.
  std::string only_job() {
    std::vector<std::string> names = transfers_.job_names();
    EXPECT_EQ(names.size(), 1u);
    return names.empty() ? "" : names[0];
  }
};

/// A static HTTP server on 127.0.0.1 for `directory`.
class HttpServer {
 public:
  explicit HttpServer(const std::string& directory)
      : port_(testing::free_port()),
        process_({"/usr/bin/python3", "-m", "http.server", std::to_string(port_), "--bind",
                  "127.0.0.1", "--directory", directory},
                 directory) {
    if (!eventually([&] { return accepts_connections(port_); })) ADD_FAILURE() << "no HTTP server";
  }
  std::string url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }

 private:
  int port_;
  Running process_;
};

// Served by the installation's own web server (lighttpd): a continued
// download asks for a range, which it answers. The user has a big.bin of
// their own already, so wget saves the job's file as big.bin.1.
TEST_F(Jobs, WgetStartRestartStopDelete) {
  if (!testing::WebSite::available()) GTEST_SKIP() << "lighttpd or curl is not installed";
  testing::WebSite site(installation_);
  std::string served = installation_.root() + "www/kiv/src/";
  mkdir(served.c_str(), 0755);
  std::string whole = random_bytes(800000);
  write_text(served + "big.bin", whole);
  std::string users = "the user's own big.bin\n";
  write_text(dnl_ + "big.bin", users);
  ASSERT_TRUE(site.start());
  std::string url = site.url("/src/big.bin");
  auto ended = [&](const std::string& pid) {
    return eventually([&] { return program_of(pid) != "wget"; }, 30);
  };

  ASSERT_EQ(ctl({"FORM_cmd=wget", "FORM_file=" + url, "FORM_down=100"}), kOk);
  std::string job = only_job();
  ASSERT_TRUE(is_job_log(job, ".wgt")) << job;
  std::vector<std::string> record = transfers_.record(job);
  EXPECT_EQ(record[1], url);
  EXPECT_EQ(record[2], "--limit-rate=100k");
  std::string first_pid = record[0];
  EXPECT_EQ(program_of(first_pid), "wget");
  // Seen running through the web server too, whose programs get no PATH.
  EXPECT_NE(site.curl({site.url("/cgi-bin/kiv-list?full=1")}).find(job + "@" + first_pid),
            std::string::npos);

  // The log grows while the transfer runs; the file lands in the download
  // directory itself.
  std::string log = trk_ + job;
  ASSERT_TRUE(eventually([&] { return size_of(log) > 0; }));
  off_t seen = size_of(log);
  EXPECT_TRUE(eventually([&] { return size_of(log) > seen; }));
  EXPECT_TRUE(eventually([&] { return size_of(dnl_ + "big.bin.1") > 0; }));

  // A restart while it runs ends the old transfer first and appends to the
  // same log; it goes on in the job's own folder, whichever folder the page
  // shows.
  mkdir((dnl_ + "sub").c_str(), 0755);
  std::string before = read_text(log);
  ASSERT_EQ(ctl("startdnl", job, {"FORM_curdir=sub"}), kOk);
  record = transfers_.record(job);
  EXPECT_NE(record[0], first_pid);
  EXPECT_EQ(program_of(record[0]), "wget");
  EXPECT_NE(program_of(first_pid), "wget");
  EXPECT_EQ(record[1], url);
  EXPECT_EQ(record[2], "--limit-rate=100k");
  EXPECT_TRUE(eventually([&] { return size_of(log) > off_t(before.size()); }));
  EXPECT_TRUE(read_text(log).starts_with(before));

  ASSERT_EQ(ctl("stop", job), kOk);
  EXPECT_TRUE(ended(record[0]));
  EXPECT_TRUE(std::filesystem::exists(log));
  EXPECT_EQ(transfers_.record(job)[0], record[0]);
  EXPECT_LT(size_of(dnl_ + "big.bin.1"), off_t(whole.size()));

  // Stopped, its log trimmed as kivd does, then finished: each restart
  // continues the job's own file (never the user's, never a new duplicate).
  config().trkdir = trk_;
  std::filesystem::path cwd = std::filesystem::current_path();
  trim_job_logs();
  std::filesystem::current_path(cwd);  // it moved into the job directory
  ASSERT_LE(size_of(log), off_t(kTrimThreshold));
  ASSERT_EQ(ctl("startdnl", job, {"FORM_curdir=sub"}), kOk);
  EXPECT_TRUE(eventually([&] { return read_text(dnl_ + "big.bin.1") == whole; }, 30));
  EXPECT_NE(read_text(log).find("206 Partial Content"), std::string::npos);
  EXPECT_TRUE(ended(transfers_.record(job)[0]));
  ASSERT_EQ(ctl("startdnl", job), kOk);
  EXPECT_TRUE(ended(transfers_.record(job)[0]));
  EXPECT_TRUE(read_text(dnl_ + "big.bin.1") == whole);
  auto names = [&] {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dnl_))
      found.insert(entry.path().lexically_relative(dnl_));
    return found;
  };
  EXPECT_EQ(names(), (std::set<std::string>{"big.bin", "big.bin.1", "sub"}));

  // A log that no longer names the file (trimmed by an older version): the
  // restart starts over under a name no file has.
  write_text(log, lines_of(read_text(log))[0] + "\n");
  ASSERT_EQ(ctl("startdnl", job), kOk);
  EXPECT_TRUE(eventually([&] { return read_text(dnl_ + "big.bin.2") == whole; }, 30));
  EXPECT_TRUE(ended(transfers_.record(job)[0]));
  EXPECT_EQ(names(), (std::set<std::string>{"big.bin", "big.bin.1", "big.bin.2", "sub"}));
  EXPECT_TRUE(read_text(dnl_ + "big.bin.1") == whole);
  EXPECT_EQ(read_text(dnl_ + "big.bin"), users);

  ASSERT_EQ(ctl("del", job), kOk);
  EXPECT_TRUE(std::filesystem::is_empty(trk_));
}

TEST_F(Jobs, WgetNamesRunNothing) {
  testing::TempDir served;
  HttpServer server(served.path());
  std::string url = server.url("a$(touch ../../../pwned1)`touch ../../../pwned2`\"b\\c;touch pwned3");
  ASSERT_EQ(ctl("wget", url), kOk);
  std::string job = only_job();
  // Kept exactly as received, and only fetched (a 404 in the log).
  EXPECT_EQ(transfers_.record(job)[1], url);
  EXPECT_TRUE(eventually([&] { return read_text(trk_ + job).find("404") != std::string::npos; }));
  for (const std::string& dir : {dnl_, trk_, installation_.root()})
    for (const char* name : {"pwned1", "pwned2", "pwned3"})
      EXPECT_FALSE(std::filesystem::exists(dir + name)) << dir << name;

  EXPECT_EQ(ctl("wget", "http://127.0.0.1/a\nb"), "Line feed not allowed in: http://127.0.0.1/a\nb");
  EXPECT_EQ(ctl("wget", url, {"FORM_curdir=../../"}),
            "filename error (contains /..) " + dnl_ + "../../");
  EXPECT_EQ(ctl("wget", url, {"FORM_curdir=missing"}), "ENOENT " + dnl_ + "missing");
  // Speed limits are plain numbers of KiB/s or refused before any start.
  std::string invalid = "Invalid speed limit (KiB/s, 0 to 1048576): ";
  for (const char* down : {"1;touch pwned", "-5", "1k", " 5", "1048577", "99999999999"})
    EXPECT_EQ(ctl("wget", url, {std::string("FORM_down=") + down}), invalid + down);
  EXPECT_EQ(ctl("wget", url, {"FORM_up=5"}), "wget has no upload to limit: up");
  EXPECT_EQ(ctl("ctor", "a.torrent", {"FORM_up=0x10"}), invalid + "0x10");
  EXPECT_EQ(transfers_.job_names().size(), 1u);
}

TEST_F(Jobs, WgetFailingBeforeItsForkIsNoSuccess) {
  std::string answer = ctl({"FORM_cmd=wget", "FORM_file=http://127.0.0.1:9/x",
                            "FORM_para=--no-such-option"});
  EXPECT_TRUE(answer.starts_with("Unable to start wget: ")) << answer;
  EXPECT_NE(answer.find("no-such-option"), std::string::npos) << answer;
  // The record stays, without a process number, so the job can be mended.
  std::vector<std::string> records;
  for (const auto& entry : std::filesystem::directory_iterator(trk_))
    records.push_back(entry.path().filename());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(read_text(trk_ + records[0]), "\nhttp://127.0.0.1:9/x\n--no-such-option\n\n");
}

TEST_F(Jobs, JobNamesStayInTheJobDirectory) {
  write_text(installation_.root() + "www/victim.wgt", "x");
  write_text(installation_.root() + "www/victim", "1\n");
  EXPECT_EQ(ctl("del", "x/../../victim.wgt"),
            "filename error (contains /..) " + trk_ + "x/../../victim.wgt");
  EXPECT_TRUE(std::filesystem::exists(installation_.root() + "www/victim.wgt"));
  EXPECT_EQ(ctl("stop", "../victim.wgt"), "filename error (contains /..) " + trk_ + "../victim.wgt");
  EXPECT_EQ(ctl("stop", "sub/a.wgt"), "Invalid job name: sub/a.wgt");
  EXPECT_EQ(ctl("starttor", "a;b.tor"), "Invalid job name: a;b.tor");
  EXPECT_EQ(ctl("startdnl", "plain"), "Invalid job name: plain");
  write_text(trk_ + ".htpasswd", "u:x\n");
  EXPECT_EQ(ctl("del", ".htpasswd"), "Invalid job name: .htpasswd");
  EXPECT_TRUE(std::filesystem::exists(trk_ + ".htpasswd"));
  EXPECT_EQ(ctl("startdnl", "missing.wgt"), "Unable to read trk file: " + trk_ + "missing");
  EXPECT_EQ(ctl("stop", "notes.txt"), "Invalid job name: notes.txt");
  // A record's name is no log: taken for both, del would leave the log.
  write_text(trk_ + "123", "\n" + trk_ + "a.torrent\n\n");
  write_text(trk_ + "123.tor", "x");
  for (const char* command : {"del", "stop", "startdnl", "starttor"})
    EXPECT_EQ(ctl(command, "123"), "Invalid job name: 123") << command;
  EXPECT_EQ(ctl("startdnl", "123.tor"), "Invalid job name: 123.tor");
  EXPECT_TRUE(std::filesystem::exists(trk_ + "123"));
  EXPECT_TRUE(std::filesystem::exists(trk_ + "123.tor"));
}

TEST_F(Jobs, StopSignalsOnlyItsOwnProgram) {
  // A recorded number now taken by another program, by a user's own wget,
  // by the transfer of another job: stop and del leave each of them alone.
  testing::SilentListener listener;
  std::vector<std::vector<std::string>> others = {
      {"/bin/sleep", "30"},
      testing::waiting_wget(listener),
      testing::waiting_wget(listener, trk_ + "bbbbbb.wgt")};
  for (const std::vector<std::string>& argv : others) {
    Running other(argv, "/");
    std::string program = argv[0].substr(argv[0].rfind('/'));
    other.wait_for_exec(program);
    write_text(trk_ + "aaaaaa", other.pid() + "\nhttp://x/\n\n");
    write_text(trk_ + "aaaaaa.wgt", "");
    EXPECT_EQ(ctl("stop", "aaaaaa.wgt"), "Job not running: aaaaaa.wgt");
    EXPECT_EQ(ctl("del", "aaaaaa.wgt"), kOk);
    EXPECT_EQ("/" + program_of(other.pid()), program) << argv.size();
    EXPECT_FALSE(std::filesystem::exists(trk_ + "aaaaaa"));
  }
}

// Two restarts of one job at once (a double click) leave one transfer: the
// second ends the first one's, never starts beside it.
TEST_F(Jobs, RestartsAtOnceLeaveOneTransfer) {
  testing::SilentListener listener;
  ASSERT_EQ(ctl("wget", "http://127.0.0.1:" + std::to_string(listener.port()) + "/x"), kOk);
  std::string job = only_job();
  ASSERT_EQ(ctl("stop", job), kOk);
  auto job_wgets = [&] {
    std::vector<pid_t> pids;
    for (pid_t pid : testing::processes_running("/usr/bin/wget"))
      if (read_text("/proc/" + std::to_string(pid) + "/cmdline").find(trk_ + job) != std::string::npos)
        pids.push_back(pid);
    return pids;
  };
  ASSERT_TRUE(eventually([&] { return job_wgets().empty(); }, 30));
  for (int round = 0; round < 3; ++round) {
    std::string answers[2];
    std::thread other([&] { answers[1] = ctl("startdnl", job); });
    answers[0] = ctl("startdnl", job);
    other.join();
    EXPECT_EQ(answers[0], kOk);
    EXPECT_EQ(answers[1], kOk);
    std::vector<pid_t> running = job_wgets();
    EXPECT_EQ(running.size(), 1u) << round;
    EXPECT_EQ(transfers_.record(job)[0], running.empty() ? "" : std::to_string(running[0]));
    for (pid_t extra : running) transfers_.note(std::to_string(extra));
  }
}

using testing::Swarm;

constexpr size_t kPiece = Swarm::kPiece;

TEST_F(Jobs, CtorrentDownloadStopResume) {
  Swarm swarm(320000);
  mkdir((dnl_ + "sub").c_str(), 0755);
  write_text(dnl_ + "sub/a.torrent", read_text(swarm.torrent()));
  std::string para = "-i 127.0.0.1 -I 127.0.0.1 -p " + std::to_string(testing::free_port()) +
                     " -e 0";
  // The limits join the options, so a restart keeps them.
  std::string options = para + " -D 40 -U 8";
  time_t started = time(nullptr);

  ASSERT_EQ(ctl({"FORM_cmd=ctor", "FORM_file=sub/a.torrent", "FORM_para=" + para,
                 "FORM_asl=1", "FORM_down=40", "FORM_up=8"}),
            kOk);
  EXPECT_EQ(read_text("/tmp/kiv-sl"), "07");
  std::string job = only_job();
  ASSERT_TRUE(is_job_log(job, ".tor")) << job;
  std::string id = job.substr(0, 6);
  std::vector<std::string> record = transfers_.record(job);
  EXPECT_EQ(program_of(record[0]), "ctorrent");
  EXPECT_EQ(record[1], dnl_ + "sub/a.torrent");
  EXPECT_EQ(record[2], options);
  std::string header = lines_of(read_text(trk_ + job)).at(0);
  std::set<std::string> stamps;
  for (time_t when = started; when <= time(nullptr); ++when)
    stamps.insert("-- " + local_date(when) + " --a.torrent");
  EXPECT_TRUE(stamps.count(header)) << header;
  // Never two transfers on one torrent.
  EXPECT_EQ(ctl("ctor", "sub/a.torrent"), "This torrent is already running: sub/a.torrent");
  EXPECT_EQ(transfers_.job_names().size(), 1u);

  // Part of it arrives, then the stop leaves a bit-field file to resume by.
  std::string target = dnl_ + "content.bin";
  ASSERT_TRUE(eventually([&] {
    std::string got = read_text(target);
    for (size_t at = 0; at < got.size(); at += kPiece)
      if (got.compare(at, kPiece, swarm.content(), at, kPiece) == 0) return true;
    return false;
  })) << read_text(trk_ + job);
  ASSERT_EQ(ctl("stop", job), kOk);
  EXPECT_TRUE(eventually([&] { return program_of(record[0]) != "ctorrent"; }, 5));
  EXPECT_TRUE(std::filesystem::exists(trk_ + id + ".bf"));
  EXPECT_NE(read_text(target), swarm.content());

  // The restart keeps the status line chosen at the start.
  ASSERT_EQ(ctl("starttor", job), kOk);
  EXPECT_EQ(read_text("/tmp/kiv-sl"), "07");
  std::vector<std::string> again = transfers_.record(job);
  EXPECT_NE(again[0], record[0]);
  EXPECT_EQ(again[1], dnl_ + "sub/a.torrent");
  EXPECT_EQ(again[2], options);
  // The log starts anew with one header.
  std::vector<std::string> log = lines_of(read_text(trk_ + job));
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log[0].starts_with("-- ") && log[0].ends_with(" --a.torrent")) << log[0];
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) { return line.ends_with(" --a.torrent"); }),
            1);

  EXPECT_TRUE(eventually([&] { return read_text(target) == swarm.content(); }, 30))
      << "the download did not complete";

  ASSERT_EQ(ctl("del", job), kOk);
  EXPECT_TRUE(eventually([&] { return program_of(again[0]) != "ctorrent"; }, 5));
  EXPECT_TRUE(std::filesystem::is_empty(trk_));
}

TEST_F(Jobs, CtorrentFailures) {
  std::string name(501 - dnl_.size(), 'n');
  EXPECT_EQ(ctl("ctor", name), "Filename too long please shorten it:  " + dnl_ + name);
  // No job for what is no torrent file at all.
  mkdir((dnl_ + "dir.torrent").c_str(), 0755);
  for (const char* missing : {"missing.torrent", "dir.torrent"})
    EXPECT_EQ(ctl("ctor", missing), std::string("Torrent file not found: ") + missing);
  EXPECT_TRUE(std::filesystem::is_empty(trk_));
  write_text(dnl_ + "none.torrent", "not bencoded");
  EXPECT_EQ(ctl("ctor", "none.torrent"), "Malformed torrent data: no value starts at byte 0");
  EXPECT_TRUE(std::filesystem::is_empty(trk_));
  // Bencoded, but no torrent ctorrent takes.
  write_text(dnl_ + "none.torrent", "d4:infod4:name1:xee");

  // A link planted at the input path is replaced, never written through.
  std::string aside = trk_ + "../aside";
  write_text(aside, "keep");
  unlink("/tmp/kiv-sl");
  ASSERT_EQ(symlink(aside.c_str(), "/tmp/kiv-sl"), 0);
  EXPECT_EQ(ctl("ctor", "none.torrent", {"FORM_para=-i 127.0.0.1 -I 127.0.0.1 -e 0"}), kOk);
  EXPECT_EQ(read_text(aside), "keep");
  EXPECT_EQ(read_text("/tmp/kiv-sl"), "06");
  std::string job = only_job();
  std::vector<std::string> record = transfers_.record(job);
  // The unreadable torrent shows in the log; the job ends by itself.
  EXPECT_TRUE(eventually([&] { return program_of(record[0]) != "ctorrent"; }, 5));
  EXPECT_EQ(ctl("del", job), kOk);
}

// "nukeall" ends the box's transfers; it runs in a PID namespace of its own,
// so that a fault could end no other wget or ctorrent on the machine.
TEST_F(Jobs, NukeallInItsOwnPidNamespace) {
  if (geteuid() != 0 ||
      testing::run_program({"/usr/bin/unshare", "--pid", "--fork", "--mount-proc", "/bin/true"},
                           {})
              .exit_code() != 0)
    GTEST_SKIP() << "no PID namespace here (needs root and unshare)";
  write_text(trk_ + ".htpasswd", "u:x\n");
  write_text(trk_ + "_wversion.nfo", "v\n");
  std::string self = std::filesystem::read_symlink("/proc/self/exe");
  std::vector<std::string> env = testing::programs_environment();
  env.push_back("KIV_NUKEALL_ROOT=" + installation_.root());
  testing::ChildResult inner = testing::run_program(
      {"/usr/bin/unshare", "--pid", "--fork", "--mount-proc", self,
       "--gtest_filter=NukeallInside.*", "--gtest_also_run_disabled_tests"},
      env);
  EXPECT_EQ(inner.exit_code(), 0) << inner.out << inner.err;
  EXPECT_NE(inner.out.find("[  PASSED  ] 1 test"), std::string::npos) << inner.out;
  EXPECT_TRUE(std::filesystem::is_empty(trk_));
}

// Runs as process 1 of the namespace; the configuration and the lock on the
// fixed paths belong to the test above. When it ends, the kernel ends
// whatever is left in the namespace.
TEST(NukeallInside, DISABLED_EndsAllTransfersAndEmptiesTheJobDirectory) {
  const char* root_value = getenv("KIV_NUKEALL_ROOT");
  if (!root_value) GTEST_SKIP() << "run by Jobs.NukeallInItsOwnPidNamespace";
  std::string root = root_value;
  std::string trk = root + "www/kiv/trk/";
  auto ctl = [&](std::vector<std::string> env) {
    env.push_back("PATH=/usr/bin:/bin");
    env.push_back("GATEWAY_INTERFACE=CGI/1.1");
    env.push_back("HTTP_X_KIV=1");
    testing::ChildResult result =
        testing::run_program(testing::program_command(testing::program("ctl/kiv-ctl")), env);
    return result.out.substr(std::min(result.out.size(), kHeaders.size()));
  };

  testing::SilentListener listener;
  std::string silent = "http://127.0.0.1:" + std::to_string(listener.port()) + "/";
  testing::TempDir made;
  write_text(made.path() + "c.bin", "content");
  ASSERT_EQ(testing::run_program({"/usr/bin/ctorrent", "-t", "-u", silent + "announce", "-s",
                                  root + "www/kiv/dnl/c.torrent", made.path() + "c.bin"},
                                 {})
                .exit_code(),
            0);
  ASSERT_EQ(ctl({"FORM_cmd=wget", "FORM_file=" + silent}), kOk);
  ASSERT_EQ(ctl({"FORM_cmd=ctor", "FORM_file=c.torrent",
                 "FORM_para=-i 127.0.0.1 -I 127.0.0.1 -p " + std::to_string(testing::free_port())}),
            kOk);
  std::vector<std::string> pids;
  for (const auto& entry : std::filesystem::directory_iterator(trk)) {
    std::string name = entry.path().filename();
    if (name.size() == 6) pids.push_back(lines_of(read_text(entry.path())).at(0));
  }
  ASSERT_EQ(pids.size(), 2u);
  for (const std::string& pid : pids)
    EXPECT_TRUE(program_of(pid) == "wget" || program_of(pid) == "ctorrent") << pid;

  // A user's own wget and another service's seeding ctorrent.
  Running foreign_wget(testing::waiting_wget(listener), made.path());
  Running foreign_ctorrent({"/usr/bin/ctorrent", "-i", "127.0.0.1", "-I", "127.0.0.1", "-p",
                            std::to_string(testing::free_port()), "-b",
                            made.path() + "c.bf", root + "www/kiv/dnl/c.torrent"},
                           made.path());
  foreign_wget.wait_for_exec("/wget");
  foreign_ctorrent.wait_for_exec("/ctorrent");

  ASSERT_EQ(ctl({"FORM_cmd=nukeall"}), kOk);
  for (const std::string& pid : pids) EXPECT_EQ(program_of(pid), "") << pid;
  EXPECT_TRUE(std::filesystem::is_empty(trk));
  EXPECT_EQ(program_of(foreign_wget.pid()), "wget");
  EXPECT_EQ(program_of(foreign_ctorrent.pid()), "ctorrent");
}

}  // namespace
}  // namespace kiv
