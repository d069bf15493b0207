// Magnet links through kiv-ctl with the real aria2c, against a tracker
// (opentracker in whitelist mode) and an aria2c seeder on loopback; DHT off.
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "common/info_hash.h"
#include "common/queue_settings.h"
#include "tests/support/installation.h"
#include "tests/support/processes.h"
#include "tests/support/programs.h"
#include "tests/support/swarm.h"
#include "torrent/aria2_control.h"

namespace kiv {
namespace {

using testing::Aria2Swarm;
using testing::eventually;
using testing::program_of;
using testing::kHeaders;
using testing::read_text;
using testing::write_text;

constexpr std::string_view kOk = "OK";
constexpr size_t kContentSize = 600000;

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

/// The bytes done in aria2c's readout lines ("[#gid DONEB/TOTALB(..."),
/// for the content (not the metadata) in the order written.
std::vector<long> content_readouts(const std::string& log) {
  std::vector<long> done;
  std::string total = "/" + std::to_string(kContentSize) + "B";
  for (size_t at = 0; (at = log.find("\n[#", at)) != std::string::npos; ++at) {
    size_t blank = log.find(' ', at), slash = log.find(total, at);
    if (blank == std::string::npos || slash == std::string::npos || slash > log.find('\n', at + 1))
      continue;
    done.push_back(std::stol(log.substr(blank + 1, slash - blank - 2)));
  }
  return done;
}

class Magnets : public ::testing::Test {
 protected:
  Magnets() { installation_.publish(settings_); }
  ~Magnets() override {
    if (kivd_) testing::end_processes_running(kivd());
    // Whatever became of the test, no aria2c of its jobs stays.
    for (const auto& entry : std::filesystem::directory_iterator(trk_)) {
      std::string name = entry.path().filename();
      if (name.size() != 6) continue;
      std::string pid = first_line(read_text(entry.path()));
      if (!pid.empty() && program_of(pid) == "aria2c") kill(pid_t(std::stol(pid)), SIGKILL);
    }
  }

  std::string ctl(std::vector<std::string> env) const {
    testing::ChildResult result = installation_.run("ctl/kiv-ctl", std::move(env));
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    return result.out.substr(std::min(result.out.size(), kHeaders.size()));
  }
  std::string magnet(const std::string& uri, std::vector<std::string> env = {}) const {
    env.push_back("FORM_cmd=magnet");
    env.push_back("FORM_file=" + uri);
    return ctl(std::move(env));
  }
  /// kivd of the installation: it starts a magnet job's files once its
  /// torrent is in.
  void start_kivd() {
    testing::copy_program("daemon/kivd", kivd());
    write_text(installation_.root() + "kiv.conf", settings_);
    testing::ChildResult started =
        testing::run_program(testing::program_command(kivd()), {"PATH=/usr/bin:/bin"});
    ASSERT_EQ(started.exit_code(), 0) << started.out << started.err;
    kivd_ = true;
  }
  std::string kivd() const { return installation_.root() + "bin/kivd"; }
  std::vector<std::string> job_logs() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(trk_))
      if (entry.path().extension() == ".tor") names.push_back(entry.path().filename());
    return names;
  }
  std::vector<std::string> record(const std::string& job) const {
    std::string text = read_text(trk_ + job.substr(0, 6));
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      lines.push_back(text.substr(at, end - at));
    lines.resize(4);
    return lines;
  }

  std::string settings_ = "aria2=/usr/bin/aria2c\ndht=off\nseed_time=0\nbt_port=" +
                          std::to_string(testing::free_port()) + "\n";
  bool kivd_ = false;
  testing::Installation installation_;
  std::string dnl_ = installation_.dnldir();
  std::string trk_ = installation_.trkdir();
};

TEST_F(Magnets, FetchStopRestartOnceOnly) {
  constexpr int kLimit = 20;  // KiB/s: 30 seconds for the file
  Aria2Swarm swarm(kContentSize);
  start_kivd();
  mkdir((dnl_ + "sub").c_str(), 0755);
  std::string uri = swarm.magnet();
  // Two requests at once: one job.
  std::string answers[2];
  // Slow enough that the stop, which takes seconds under an emulator, comes
  // long before the end.
  std::vector<std::string> env = {"FORM_curdir=sub", "FORM_down=" + std::to_string(kLimit)};
  std::thread other([&] { answers[1] = magnet(uri, env); });
  answers[0] = magnet(uri, env);
  other.join();
  std::multiset<std::string> got(std::begin(answers), std::end(answers));
  EXPECT_EQ(got, (std::multiset<std::string>{std::string(kOk),
                                             "This torrent is already running: content.bin"}));
  ASSERT_EQ(job_logs().size(), 1u);
  std::string job = job_logs()[0];
  std::vector<std::string> first = record(job);
  // The torrent's fetch, then (kivd's start) its files' transfer.
  EXPECT_TRUE(eventually([&] { return program_of(record(job)[0]) == "aria2c"; }));
  EXPECT_EQ(first[1], uri);
  EXPECT_EQ(first[2], "--max-download-limit=" + std::to_string(kLimit) + "K");
  EXPECT_EQ(first[3], "sub");
  EXPECT_TRUE(read_text(trk_ + job).starts_with("-- ")) << read_text(trk_ + job);
  EXPECT_TRUE(first_line(read_text(trk_ + job)).ends_with(" --" + swarm.hash()));

  // The same torrent by its file, for ctorrent, is refused too.
  write_text(dnl_ + "copy.torrent", read_text(swarm.torrent()));
  EXPECT_EQ(ctl({"FORM_cmd=ctor", "FORM_file=copy.torrent"}),
            "This torrent is already running: copy.torrent");

  // The metadata comes in, then part of the file (more than a start from
  // nothing has by its first readout, five seconds in); the stop keeps the
  // control file, and the restart goes on from there.
  std::string target = dnl_ + "sub/content.bin";
  std::string log = trk_ + job;
  // The last readout before the stop: kivd's trim may leave none after it.
  long stopped_at = 0;
  ASSERT_TRUE(eventually([&] {
    std::vector<long> done = content_readouts(read_text(log));
    if (!done.empty()) stopped_at = done.back();
    return stopped_at >= long(kContentSize / 4);
  }, 60)) << read_text(log);
  std::string stopped = record(job)[0];
  ASSERT_EQ(ctl({"FORM_cmd=stop", "FORM_file=" + job}), kOk);
  ASSERT_TRUE(eventually([&] { return program_of(stopped) != "aria2c"; }, 30));
  EXPECT_TRUE(std::filesystem::exists(target + ".aria2"));
  EXPECT_NE(read_text(target), swarm.content());

  ASSERT_EQ(ctl({"FORM_cmd=starttor", "FORM_file=" + job}), kOk);
  std::vector<std::string> again = record(job);
  EXPECT_NE(again[0], stopped);
  EXPECT_EQ(program_of(again[0]), "aria2c");
  EXPECT_EQ(std::vector(again.begin() + 1, again.end()),
            std::vector(first.begin() + 1, first.end()));
  long restarted_at = -1;
  ASSERT_TRUE(eventually([&] {
    std::vector<long> done = content_readouts(read_text(log));
    if (!done.empty()) restarted_at = done.front();
    return restarted_at >= 0;
  }, 60));
  EXPECT_GE(restarted_at, stopped_at) << read_text(log);

  EXPECT_TRUE(eventually([&] { return read_text(target) == swarm.content(); }, 120))
      << read_text(log);
  EXPECT_TRUE(eventually([&] { return program_of(again[0]) != "aria2c"; }, 60));
  EXPECT_FALSE(std::filesystem::exists(target + ".aria2"));

  ASSERT_EQ(ctl({"FORM_cmd=del", "FORM_file=" + job}), kOk);
  EXPECT_TRUE(std::filesystem::is_empty(trk_));
}

// A link in the folder where the torrent's own folder would be: the
// torrent is fetched alone, judged and refused; nothing is written through
// the link, and nothing of the job's torrent stays.
TEST_F(Magnets, TorrentThroughALinkRefused) {
  Aria2Swarm swarm(kContentSize, "pack");
  start_kivd();
  testing::TempDir outside;
  ASSERT_EQ(symlink(outside.path().c_str(), (dnl_ + "pack").c_str()), 0);
  ASSERT_EQ(magnet(swarm.magnet()), kOk);
  ASSERT_EQ(job_logs().size(), 1u);
  std::string log = trk_ + job_logs()[0];
  const std::string refusal = "-- refused --This torrent would write outside its folder: pack/content.bin\n";
  EXPECT_TRUE(eventually([&] { return read_text(log).ends_with(refusal); }, 60)) << read_text(log);
  EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(trk_)) left.insert(entry.path().filename());
  std::string job = job_logs()[0].substr(0, 6);
  EXPECT_EQ(left, (std::set<std::string>{job, job + ".tor"}));
  EXPECT_EQ(program_of(record(job_logs()[0])[0]), "");
}

// A finished job restarted while the queue is paused waits with its log as
// it was; started then, it checks its own files and seeds instead of
// refusing them as a file that is there.
TEST_F(Magnets, FinishedJobQueuedKeepsItsFiles) {
  mkdir((dnl_ + "sub").c_str(), 0755);
  write_text(dnl_ + "sub/content.bin", testing::made_content(kContentSize));
  ASSERT_EQ(testing::run_program({"/usr/bin/ctorrent", "-t", "-u", "http://127.0.0.1:9/announce",
                                  "-s", trk_ + "Fin001.torrent", dnl_ + "sub/content.bin"},
                                 {})
                .exit_code(),
            0);
  std::string hash = torrent_info_hash(read_text(trk_ + "Fin001.torrent")).value_or("");
  write_text(trk_ + "Fin001", "\nmagnet:?xt=urn:btih:" + hash + "\n\nsub\nrunning\n");
  write_text(trk_ + "Fin001.tor",
             read_text(std::string(KIV_SOURCE_DIR) + "/common/job_logs/magnet-finished.tor"));
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_week=" + std::string(kWeekHours, 'p')}), kOk);
  ASSERT_EQ(ctl({"FORM_cmd=starttor", "FORM_file=Fin001.tor"}), kOk);
  ASSERT_EQ(record("Fin001.tor")[0], "");
  ASSERT_EQ(ctl({"FORM_cmd=startnow", "FORM_file=Fin001.tor"}), kOk);
  std::string log = trk_ + "Fin001.tor";
  EXPECT_TRUE(eventually([&] { return read_text(log).find("\nDownload Results:") != std::string::npos; }, 60));
  EXPECT_NE(read_text(log).find("|OK  |"), std::string::npos) << read_text(log);
  EXPECT_EQ(read_text(dnl_ + "sub/content.bin"), testing::made_content(kContentSize));
}

// aria2c's control file of a half-fetched job, as aria2c wrote it, read
// whole and refused cut or altered; the job's detail gives the file's
// bytes in the pieces it marks, each of which holds the right bytes.
TEST_F(Magnets, DetailOfAHalfFetchedJob) {
  Aria2Swarm swarm(kContentSize);
  start_kivd();
  // Slow enough that a loaded machine stops it long before its end.
  ASSERT_EQ(magnet(swarm.magnet(), {"FORM_down=20"}), kOk);
  std::string job = job_logs().at(0), log = trk_ + job;
  ASSERT_TRUE(eventually([&] {
    std::vector<long> done = content_readouts(read_text(log));
    return !done.empty() && done.back() >= long(kContentSize / 4);
  }, 60)) << read_text(log);
  std::string pid = record(job)[0];  // the files' run, started by kivd
  // kivd's part is done: its minutely trim of the log must not race the
  // reads below on a slow machine.
  testing::end_processes_running(kivd());
  kivd_ = false;
  ASSERT_EQ(ctl({"FORM_cmd=stop", "FORM_file=" + job}), kOk);
  ASSERT_TRUE(eventually([&] { return program_of(pid) != "aria2c"; }, 30));

  std::string control = read_text(dnl_ + "content.bin.aria2");
  std::optional<torrent::Aria2Control> read = torrent::read_aria2_control(control);
  ASSERT_TRUE(read) << control.size();
  EXPECT_EQ(read->info_hash, swarm.hash());
  EXPECT_EQ(read->piece_length, 65536);
  EXPECT_EQ(read->total_length, long(kContentSize));
  ASSERT_EQ(read->bits.size(), 2u);  // 10 pieces
  std::string fetched = read_text(dnl_ + "content.bin");
  long had = 0;
  for (size_t piece = 0; piece * 65536 < kContentSize; ++piece) {
    if (!((static_cast<unsigned char>(read->bits[piece / 8]) >> (7 - piece % 8)) & 1)) continue;
    std::string bytes = swarm.content().substr(piece * 65536, 65536);
    EXPECT_EQ(fetched.substr(piece * 65536, 65536), bytes) << "piece " << piece;
    had += long(bytes.size());
  }
  EXPECT_GT(had, 0);
  EXPECT_LT(had, long(kContentSize));

  // The bytes that make each figure: version 0-1, hash length 6-9, piece
  // length 30-33, the bit field's length 50-53, pieces in flight after it.
  auto altered = [&](size_t at, char to) {
    std::string bytes = control;
    bytes[at] = to;
    return bytes;
  };
  const std::pair<const char*, std::string> refused[] = {
      {"another version", altered(1, 2)},
      {"a shorter hash", altered(9, 19)},
      {"pieces of no length", control.substr(0, 30) + std::string(4, '\0') + control.substr(34)},
      {"a bit field too long", altered(53, 3)},
      {"more in flight than pieces", altered(58, 11)},
      {"a byte after its end", control + "x"},
  };
  for (const auto& [what, bytes] : refused) EXPECT_FALSE(torrent::read_aria2_control(bytes)) << what;
  for (size_t length = 0; length < control.size(); ++length)
    EXPECT_FALSE(torrent::read_aria2_control(control.substr(0, length))) << "cut at " << length;

  testing::ChildResult detail;
  // Stopped once no aria2c of the job runs any more, not only the one asked.
  EXPECT_TRUE(eventually([&] {
    detail = installation_.run("torrent/kiv-torrent", {"QUERY_STRING=job=" + job});
    return detail.out.find("state:\"stopped\"") != std::string::npos;
  }, 30)) << detail.out << read_text(log);
  std::string files = "files:[{path:\"content.bin\",size:600000,done:" + std::to_string(had) +
                      ",chosen:true}]}";
  EXPECT_TRUE(detail.out.ends_with(files)) << detail.out << read_text(log);
  EXPECT_NE(detail.out.find("trackers:[\"http://127.0.0.1:"), std::string::npos) << detail.out;
}

// torrent_engine=aria2c: a torrent file runs as a magnet job of its hash
// that has its torrent already, and its file arrives whole.
TEST_F(Magnets, TorrentFileRunByAria2c) {
  Aria2Swarm swarm(kContentSize);
  write_text(dnl_ + "a.torrent", read_text(swarm.torrent()));
  installation_.publish(settings_ + "torrent_engine=bittorrent\n");
  EXPECT_EQ(ctl({"FORM_cmd=ctor", "FORM_file=a.torrent"}),
            "Invalid torrent_engine in kiv.conf (ctorrent or aria2c): bittorrent");
  installation_.publish(settings_ + "torrent_engine=aria2c\n");
  EXPECT_EQ(ctl({"FORM_cmd=ctor", "FORM_file=a.torrent", "FORM_para=-e 1"}),
            "With torrent_engine=aria2c a torrent takes no further options: -e 1");
  ASSERT_EQ(ctl({"FORM_cmd=ctor", "FORM_file=a.torrent"}), kOk);
  ASSERT_EQ(job_logs().size(), 1u);
  std::vector<std::string> first = record(job_logs()[0]);
  EXPECT_EQ(program_of(first[0]), "aria2c");
  EXPECT_EQ(first[1], "magnet:?xt=urn:btih:" + swarm.hash());
  EXPECT_EQ(first[3], "");
  EXPECT_TRUE(eventually([&] { return read_text(dnl_ + "content.bin") == swarm.content(); }, 120))
      << read_text(trk_ + job_logs()[0]);
}

TEST_F(Magnets, RefusedBeforeAnythingRuns) {
  std::string hash(40, 'a');
  EXPECT_EQ(magnet("magnet:?xt=urn:btih:" + hash.substr(1)),
            "Invalid magnet link: xt must be urn:btih: with 40 hexadecimal or 32 base32 "
            "characters.");
  EXPECT_EQ(magnet("magnet:?xt=urn:btih:" + hash + "&tr=file:///etc/passwd"),
            "Invalid magnet link: trackers (tr) must be http, https or udp addresses.");
  EXPECT_EQ(magnet("magnet:?xt=urn:btih:" + hash, {"FORM_para=--on-download-complete=/bin/sh"}),
            "A magnet link takes no further options: --on-download-complete=/bin/sh");
  EXPECT_EQ(magnet("magnet:?xt=urn:btih:" + hash, {"FORM_files=2,1"}),
            "Invalid choice of files (numbers from 1, rising, as 1,3): 2,1");
  EXPECT_EQ(magnet("magnet:?xt=urn:btih:" + hash, {"FORM_curdir=../.."}),
            "filename error (contains /..) " + dnl_ + "../..");
  installation_.publish("aria2=/nonexistent/aria2c\n");
  EXPECT_EQ(magnet("magnet:?xt=urn:btih:" + hash),
            "Magnet links need aria2c: install the package aria2, or name the program with "
            "aria2= in kiv.conf.");
  installation_.publish("seed_ratio=1,5\n");
  EXPECT_EQ(magnet("magnet:?xt=urn:btih:" + hash), "Invalid seed_ratio in kiv.conf: 1,5");
  EXPECT_TRUE(std::filesystem::is_empty(trk_));
}

}  // namespace
}  // namespace kiv
