// The queue: its settings through kiv-ctl and the status, and kivd starting
// queued transfers, stopping them in paused hours and dividing the limits,
// with the real wget against a loopback server, each job slowed by a limit.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <unistd.h>

#include "common/job_record.h"
#include "common/queue_settings.h"
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


class Queue : public ::testing::Test {
 protected:
  testing::Installation box_;

  std::string ctl(std::vector<std::string> env) {
    return body_of(box_.run("ctl/kiv-ctl", std::move(env)));
  }
  std::string status(const std::string& query = "full=1") {
    return body_of(box_.run("list/kiv-list", {"QUERY_STRING=" + query}));
  }
  /// Transfers running, one per job: a wget going to the background is two
  /// processes of one command line for a moment.
  static size_t wgets() {
    std::set<std::string> jobs;
    for (pid_t pid : testing::processes_running("/usr/bin/wget")) {
      std::string command = read_text("/proc/" + std::to_string(pid) + "/cmdline");
      if (!command.empty()) jobs.insert(command);
    }
    return jobs.size();
  }
  size_t queued() {
    size_t count = 0;
    for (const std::string& log : logs())
      count += parse_record(read_text(box_.trkdir() + log.substr(0, 6))).wish == JobWish::queued;
    return count;
  }
  /// Adds a wget job of `url` (more fields in `env`): its log's name.
  std::string add(const std::string& url, std::vector<std::string> env = {}) {
    std::set<std::string> before = logs();
    env.insert(env.end(), {"FORM_cmd=wget", "FORM_file=" + url});
    EXPECT_EQ(ctl(std::move(env)), "OK");
    for (const std::string& log : logs())
      if (!before.contains(log)) return log;
    return "";
  }
  std::set<std::string> logs() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(box_.trkdir()))
      if (entry.path().extension() == ".wgt") names.insert(entry.path().filename());
    return names;
  }
  /// The queue's member of the status.
  std::string queue_member() {
    std::string answer = status("");
    size_t at = answer.rfind(",queue:{");
    return at == std::string::npos ? answer : answer.substr(at + 1, answer.find('}', at) - at);
  }
};

// Every field is checked before anything is written: one wrong field among
// good ones changes nothing, and says which field and value.
TEST_F(Queue, WrongSettingsAreRefusedWhole) {
  std::string week(kWeekHours, 'f');
  std::string defaults = "queue:{max_active:0,max_torrents:0,seeding_counts:0,down:0,up:0,"
                         "alt_down:0,alt_up:0,week:\"" + week + "\",hour:\"f\"}";
  EXPECT_EQ(queue_member(), defaults);
  struct Case {
    std::string field, value, answer;
  } cases[] = {
      {"max_active", "-1", "Invalid max_active (0 to 1000): -1"},
      {"max_active", "1001", "Invalid max_active (0 to 1000): 1001"},
      {"max_active", "02", "Invalid max_active (0 to 1000): 02"},
      {"max_active", "", "Invalid max_active (0 to 1000):"},
      {"max_torrents", "1 ", "Invalid max_torrents (0 to 1000): 1 "},
      {"seeding_counts", "2", "Invalid seeding_counts (0 to 1): 2"},
      {"down", "1048577", "Invalid down (KiB/s, 0 to 1048576): 1048577"},
      {"up", "1e3", "Invalid up (KiB/s, 0 to 1048576): 1e3"},
      {"alt_down", "99999999999999999999", "Invalid alt_down (KiB/s, 0 to 1048576): 99999999999999999999"},
      {"alt_up", "0x10", "Invalid alt_up (KiB/s, 0 to 1048576): 0x10"},
      {"week", week.substr(1), "Invalid week (168 letters f, l or p, Monday 00:00 first): " + week.substr(1)},
      {"week", week.substr(1) + "x", "Invalid week (168 letters f, l or p, Monday 00:00 first): " + week.substr(1) + "x"},
      {"week", week + "f", "Invalid week (168 letters f, l or p, Monday 00:00 first): " + week + "f"},
  };
  for (const Case& c : cases) {
    std::string good = c.field == "up" ? "FORM_down=5" : "FORM_up=5";
    EXPECT_EQ(ctl({"FORM_cmd=queue", good, "FORM_" + c.field + "=" + c.value}),
              c.answer);
    EXPECT_EQ(queue_member(), defaults) << c.field;
  }
  std::string paused(kWeekHours, 'p');
  EXPECT_EQ(ctl({"FORM_cmd=queue", "FORM_max_active=2", "FORM_down=300", "FORM_week=" + paused}),
            "OK");
  EXPECT_EQ(ctl({"FORM_cmd=queue", "FORM_alt_up=7", "FORM_seeding_counts=1"}), "OK");
  EXPECT_EQ(queue_member(), "queue:{max_active:2,max_torrents:0,seeding_counts:1,down:300,up:0,"
                            "alt_down:0,alt_up:7,week:\"" + paused + "\",hour:\"p\"}");
  // A new transfer in a paused hour waits, its URL, options and folder kept.
  std::filesystem::create_directory(box_.dnldir() + "sub");
  EXPECT_EQ(ctl({"FORM_cmd=wget", "FORM_file=http://127.0.0.1:9/a.iso", "FORM_para=-t 2",
                 "FORM_curdir=sub"}),
            "OK");
  std::string answer = status();
  EXPECT_NE(answer.find("state:\"queued\",done:0,size:-1,down:0,up:0,place:1}"), std::string::npos)
      << answer;
  // "Stop all and clear" keeps the settings.
  EXPECT_EQ(ctl({"FORM_cmd=nukeall"}), "OK");
  EXPECT_NE(queue_member().find("max_active:2"), std::string::npos);
}

/// The job object of `log` in a status answer, "" when it is not listed.
std::string job_object(const std::string& answer, const std::string& log) {
  size_t at = answer.find("{obj:\"" + log + "@");
  return at == std::string::npos ? "" : answer.substr(at, answer.find('}', at) + 1 - at);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The queue's order kept in the records: moves, a stop, a start beside it.
TEST_F(Queue, MovesStopAndStartNow) {
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_week=" + std::string(kWeekHours, 'p')}), "OK");
  std::vector<std::string> jobs;
  for (std::string name : {"a", "b", "c"}) jobs.push_back(add("http://127.0.0.1:9/" + name));
  auto places = [&] {
    std::string answer = status(), order;
    for (const std::string& log : jobs) {
      std::string object = job_object(answer, log);
      size_t at = object.find("place:");
      order += at == std::string::npos ? "-" : object.substr(at + 6, 1);
    }
    return order;
  };
  EXPECT_EQ(places(), "123");
  auto move = [&](size_t job, const std::string& to) {
    return ctl({"FORM_cmd=move", "FORM_file=" + jobs[job], "FORM_to=" + to});
  };
  EXPECT_EQ(move(2, "top"), "OK");
  EXPECT_EQ(places(), "231");
  EXPECT_EQ(move(0, "down"), "OK");
  EXPECT_EQ(places(), "321");
  EXPECT_EQ(move(2, "up"), "OK");  // already first
  EXPECT_EQ(places(), "321");
  EXPECT_EQ(move(1, "up"), "OK");
  EXPECT_EQ(places(), "312");
  EXPECT_EQ(move(1, "sideways"), "Invalid move: sideways");
  // Started again by the user while it waits, a job keeps its place.
  EXPECT_EQ(ctl({"FORM_cmd=startdnl", "FORM_file=" + jobs[2]}), "OK");
  EXPECT_EQ(places(), "312");
  // A stopped job leaves the queue; the others close up.
  EXPECT_EQ(ctl({"FORM_cmd=stop", "FORM_file=" + jobs[1]}), "OK");
  EXPECT_EQ(places(), "2-1");
  EXPECT_NE(job_object(status(), jobs[1]).find("state:\"stopped\""), std::string::npos);
  EXPECT_EQ(move(1, "top"), "Job not queued: " + jobs[1]);
  // Started at once, in a paused hour, beside the queue; its record says so.
  EXPECT_EQ(ctl({"FORM_cmd=startnow", "FORM_file=" + jobs[0]}), "OK");
  std::vector<std::string> record = lines_of(read_text(box_.trkdir() + jobs[0].substr(0, 6)));
  ASSERT_EQ(record.size(), 6u);
  EXPECT_NE(record[0], "");
  EXPECT_EQ(record[1], "http://127.0.0.1:9/a");
  EXPECT_EQ(record[4], "running");
  EXPECT_EQ(record[5], "now");
  EXPECT_EQ(places(), "--1");
  EXPECT_EQ(ctl({"FORM_cmd=startnow", "FORM_file=" + jobs[0]}), "Job not queued: " + jobs[0]);
  testing::end_processes_running("/usr/bin/wget");
}

// Requests at once: the lock around the count and the start lets only one
// through to a transfer; the others wait queued.
TEST_F(Queue, RequestsAtOnceStartNoMoreThanMaxActive) {
  testing::SilentListener listener;
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_max_active=1"}), "OK");
  std::string url = "http://127.0.0.1:" + std::to_string(listener.port()) + "/x";
  std::vector<std::thread> requests;
  for (int i = 0; i < 4; ++i)
    requests.emplace_back([&] { EXPECT_EQ(ctl({"FORM_cmd=wget", "FORM_file=" + url}), "OK"); });
  for (std::thread& request : requests) request.join();
  EXPECT_EQ(wgets(), 1u);
  EXPECT_EQ(queued(), 3u);
  testing::end_processes_running("/usr/bin/wget");
}

/// A box with its own kivd and a source site (lighttpd, which continues a
/// transfer from where it stopped) of its own.
class QueueBox : public Queue {
 protected:
  void SetUp() override {
    if (!testing::WebSite::available()) GTEST_SKIP() << "lighttpd or curl is not installed";
    testing::copy_program("daemon/kivd", kivd());
    write_text(box_.root() + "kiv.conf", "# defaults\n");
    mkdir((source_.root() + "www/kiv/src").c_str(), 0755);
    ASSERT_TRUE(site_.start());
    start_kivd();
  }
  /// Starts kivd, in the time zone `zone` when one is given.
  void start_kivd(const std::string& zone = "") {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
    if (!zone.empty()) env.push_back("TZ=" + zone);
    testing::ChildResult started = testing::run_program(testing::program_command(kivd()), env);
    ASSERT_EQ(started.exit_code(), 0) << started.out << started.err;
  }
  void TearDown() override {
    testing::end_processes_running(kivd());
    testing::end_processes_running("/usr/bin/wget");
    testing::end_processes_running("/usr/bin/ctorrent");
  }
  std::string kivd() const { return box_.root() + "bin/kivd"; }
  /// A file of `size` bytes at the source; its URL.
  std::string source(const std::string& name, size_t size) {
    std::string data(size, '\0');
    unsigned state = unsigned(size) * 2654435761u;
    for (char& c : data) c = char((state = state * 1103515245u + 12345u) >> 16);
    write_text(source_.root() + "www/kiv/src/" + name, data);
    return site_.url("/src/" + name);
  }
  bool whole(const std::string& name) {
    return read_text(box_.dnldir() + name) == read_text(source_.root() + "www/kiv/src/" + name);
  }

  testing::Installation source_;
  testing::WebSite site_{source_};
};

// Six jobs with two at a time: never a third wget, and each next one starts
// within seconds of a slot freeing, without waiting for kivd's cycle.
TEST_F(QueueBox, TwoAtATime) {
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_max_active=2"}), "OK");
  std::vector<std::string> names;
  for (int i = 0; i < 6; ++i) {
    names.push_back("f" + std::to_string(i) + ".bin");
    ASSERT_EQ(ctl({"FORM_cmd=wget", "FORM_file=" + source(names.back(), 60000), "FORM_down=20"}),
              "OK");
  }
  // The rest waited, but for those a finished job let start: adding six
  // can take longer than a job on a loaded or emulated machine. Counted
  // queued first, so that a start in between cannot tip the sum below.
  size_t waiting = queued();
  EXPECT_GE(waiting + size_t(std::count_if(names.begin(), names.end(),
                                           [&](const std::string& name) { return whole(name); })),
            4u);
  using Clock = std::chrono::steady_clock;
  std::chrono::milliseconds longest{0};
  std::optional<Clock::time_point> short_since;
  size_t most = 0;
  auto done = [&] {
    size_t running = wgets();
    most = std::max(most, running);
    Clock::time_point now = Clock::now();
    // A slot free while jobs wait: how long until it is taken.
    if (running < 2 && queued() > 0) {
      if (!short_since) short_since = now;
    } else if (short_since) {
      longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(now - *short_since));
      short_since.reset();
    }
    return std::all_of(names.begin(), names.end(), [&](const std::string& name) { return whole(name); });
  };
  EXPECT_TRUE(eventually(done, 120));
  EXPECT_LE(most, 2u);
  EXPECT_LE(longest, testing::allowance(std::chrono::seconds(5)));
  EXPECT_EQ(queued(), 0u);
}

// The order survives kivd's restart: the job moved to the top is the one
// that starts when a slot frees.
TEST_F(QueueBox, OrderKeptOverARestart) {
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_max_active=1", "FORM_week=" + std::string(kWeekHours, 'p')}),
            "OK");
  std::vector<std::string> jobs;
  for (std::string name : {"o1.bin", "o2.bin", "o3.bin"})
    jobs.push_back(add(source(name, 60000), {"FORM_down=20"}));
  ASSERT_EQ(ctl({"FORM_cmd=move", "FORM_file=" + jobs[2], "FORM_to=top"}), "OK");
  testing::end_processes_running(kivd());
  start_kivd();
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_week=" + std::string(kWeekHours, 'f')}), "OK");
  auto wish = [&](size_t job) {
    return parse_record(read_text(box_.trkdir() + jobs[job].substr(0, 6))).wish;
  };
  EXPECT_TRUE(eventually([&] { return wish(2) != JobWish::queued; }));
  EXPECT_EQ(wish(0), JobWish::queued);
  EXPECT_EQ(wish(1), JobWish::queued);
  EXPECT_TRUE(eventually([&] { return whole("o3.bin"); }, 30));
}

// A paused hour stops the running transfers, which wait first in line; the
// next full hour continues them from where they were.
TEST_F(QueueBox, PausedThenFull) {
  std::vector<std::string> names = {"a.bin", "b.bin"};
  for (const std::string& name : names)
    ASSERT_EQ(ctl({"FORM_cmd=wget", "FORM_file=" + source(name, 600000), "FORM_down=50"}), "OK");
  ASSERT_TRUE(eventually([&] {
    return std::filesystem::exists(box_.dnldir() + "a.bin") &&
           std::filesystem::file_size(box_.dnldir() + "a.bin") > 50000;
  }));
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_week=" + std::string(kWeekHours, 'p')}), "OK");
  EXPECT_TRUE(eventually([&] { return wgets() == 0; }));
  // A job whose folder goes while it waits cannot start: it leaves the
  // queue rather than hold back the others.
  std::filesystem::create_directory(box_.dnldir() + "gone");
  ASSERT_EQ(ctl({"FORM_cmd=wget", "FORM_file=" + source("c.bin", 1000), "FORM_curdir=gone"}), "OK");
  std::filesystem::remove(box_.dnldir() + "gone");
  std::string answer = status();
  EXPECT_NE(answer.find("state:\"queued\""), std::string::npos) << answer;
  EXPECT_NE(answer.find("place:2"), std::string::npos) << answer;
  EXPECT_FALSE(whole("a.bin"));

  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_week=" + std::string(kWeekHours, 'f')}), "OK");
  EXPECT_TRUE(eventually([&] { return whole("a.bin") && whole("b.bin"); }, 60));
  answer = status();
  EXPECT_EQ(answer.find("queued"), std::string::npos) << answer;
  EXPECT_NE(answer.find("state:\"stopped\""), std::string::npos) << answer;
  for (const std::string& log : logs())
    if (read_text(box_.trkdir() + log.substr(0, 6)).find("c.bin") == std::string::npos) {
      // Continued: the server was asked for the rest only.
      EXPECT_NE(read_text(box_.trkdir() + log).find("206 Partial Content"), std::string::npos);
    }
  EXPECT_EQ(queued(), 0u);
}

/// The last --limit-rate of wget `pid`'s command line: the one it takes.
std::string last_limit(pid_t pid) {
  std::string words = read_text("/proc/" + std::to_string(pid) + "/cmdline"), limit;
  for (size_t at = 0; (at = words.find("--limit-rate=", at)) != std::string::npos; ++at)
    limit = words.substr(at + 13, words.find('\0', at) - at - 13);
  return limit;
}

// The global limit, divided among three transfers through wget's own
// option (the records keep the user's options), holds within 20 %.
TEST_F(QueueBox, GlobalLimitDividedAmongThree) {
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_down=150"}), "OK");
  std::vector<std::string> names = {"g0.bin", "g1.bin", "g2.bin"};
  for (const std::string& name : names)
    ASSERT_EQ(ctl({"FORM_cmd=wget", "FORM_file=" + source(name, 4000000)}), "OK");
  ASSERT_TRUE(eventually([&] {
    std::vector<pid_t> pids = testing::processes_running("/usr/bin/wget");
    return wgets() == 3 && std::all_of(pids.begin(), pids.end(),
                                       [&](pid_t pid) { return last_limit(pid) == "50k"; });
  }, 30));
  // A wget makes its file once the server has answered, which may come
  // after it shows its limit.
  auto fetched = [&] {
    uintmax_t bytes = 0;
    for (const std::string& name : names) {
      std::error_code missing;
      uintmax_t size = std::filesystem::file_size(box_.dnldir() + name, missing);
      if (!missing) bytes += size;
    }
    return bytes;
  };
  auto start = std::chrono::steady_clock::now();
  uintmax_t before = fetched();
  // A window long enough to average out wget's bursts.
  sleep(10);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double rate = double(fetched() - before) / seconds / 1024;
  EXPECT_NEAR(rate, 150, 30);
  for (const std::string& log : logs())
    EXPECT_EQ(lines_of(read_text(box_.trkdir() + log.substr(0, 6))).at(2), "");
}

/// A time zone whose clock is `lead` seconds before the end of an hour
/// now, and the letter of that hour in the week.
std::pair<std::string, size_t> zone_before_hour_turn(long lead) {
  time_t now = time(nullptr);
  long east = ((3600 - lead - now % 3600) % 3600 + 3600) % 3600;
  char zone[32];
  snprintf(zone, sizeof zone, "KIV-00:%02ld:%02ld", east / 60, east % 60);
  time_t local_now = now + east;
  struct tm local;
  gmtime_r(&local_now, &local);
  return {zone, size_t((local.tm_wday + 6) % 7) * 24 + size_t(local.tm_hour)};
}

// The clock turning the hour is enough: kivd stops the running transfer
// when a paused hour begins and continues it when a full one does, in a
// time zone made to turn the hour seconds after its start.
TEST_F(QueueBox, HourTurnPausesAndContinues) {
  std::string log = add(source("h.bin", 3000000), {"FORM_down=100"});
  ASSERT_TRUE(eventually([&] {
    return std::filesystem::exists(box_.dnldir() + "h.bin") &&
           std::filesystem::file_size(box_.dnldir() + "h.bin") > 0;
  }));
  // Not scaled: a kivd slower to start finds the new hour at its start,
  // which the transfer must outlast.
  const long lead = 5;
  auto week_turning = [&](char now, char next) {
    testing::end_processes_running(kivd());
    auto [zone, hour] = zone_before_hour_turn(lead);
    std::string week(kWeekHours, 'f');
    week[hour] = now;
    week[(hour + 1) % kWeekHours] = next;
    EXPECT_EQ(ctl({"FORM_cmd=queue", "FORM_week=" + week}), "OK");
    start_kivd(zone);
  };
  week_turning('f', 'p');
  ASSERT_TRUE(eventually([&] {
    return wgets() == 0 && job_object(status(), log).find("state:\"queued\"") != std::string::npos;
  })) << status();
  EXPECT_FALSE(whole("h.bin"));

  week_turning('p', 'f');
  EXPECT_TRUE(eventually([&] { return whole("h.bin"); }, 60));
  // Continued: the server was asked for the rest only (or, once kivd has
  // trimmed the log, the bar marks the bytes that were there).
  std::string text = read_text(box_.trkdir() + log);
  EXPECT_TRUE(text.find("206 Partial Content") != std::string::npos ||
              text.find("[+") != std::string::npos)
      << text;
}

// A limited hour puts the alternative limits in force: the running
// transfer restarts with them and continues where it was.
TEST_F(QueueBox, LimitedHourRestartsWithTheAlternativeLimits) {
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_down=200", "FORM_alt_down=150"}), "OK");
  std::string log = add(source("l.bin", 2000000));
  auto limit = [] {
    std::vector<pid_t> pids = testing::processes_running("/usr/bin/wget");
    return pids.size() == 1 ? last_limit(pids[0]) : "";
  };
  ASSERT_TRUE(eventually([&] {
    return limit() == "200k" && std::filesystem::exists(box_.dnldir() + "l.bin") &&
           std::filesystem::file_size(box_.dnldir() + "l.bin") > 100000;
  })) << limit();
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_week=" + std::string(kWeekHours, 'l')}), "OK");
  EXPECT_TRUE(eventually([&] { return limit() == "150k"; })) << limit();
  EXPECT_TRUE(eventually([&] { return whole("l.bin"); }, 60));
  // Nothing fetched twice: the rest asked for, no second copy.
  std::string text = read_text(box_.trkdir() + log);
  EXPECT_TRUE(text.find("206 Partial Content") != std::string::npos ||
              text.find("[+") != std::string::npos)
      << text;
  EXPECT_FALSE(std::filesystem::exists(box_.dnldir() + "l.bin.1"));
}

// Torrents have slots of their own: a second torrent waits while one
// downloads, a wget still starts; a seeding torrent frees its slot unless
// the owner counts seeding.
TEST_F(QueueBox, TorrentSlotsAndSeeding) {
  testing::Swarm swarm(400000);
  write_text(box_.dnldir() + "a.torrent", read_text(swarm.torrent()));
  testing::TempDir made;
  write_text(made.path() + "b.bin", std::string(100000, 'b'));
  ASSERT_EQ(testing::run_program({"/usr/bin/ctorrent", "-t", "-u", "http://127.0.0.1:9/announce",
                                  "-s", box_.dnldir() + "b.torrent", made.path() + "b.bin"},
                                 {})
                .exit_code(),
            0);
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_max_torrents=1"}), "OK");
  auto torrent = [&](const std::string& file, const std::string& down) {
    std::string para = "FORM_para=-i 127.0.0.1 -I 127.0.0.1 -e 1 -p " +
                       std::to_string(testing::free_port());
    EXPECT_EQ(ctl({"FORM_cmd=ctor", "FORM_file=" + file, para, "FORM_down=" + down}), "OK");
    std::string newest;
    for (const auto& entry : std::filesystem::directory_iterator(box_.trkdir()))
      if (entry.path().extension() == ".tor" &&
          read_text(box_.trkdir() + entry.path().stem().string()).find(file) != std::string::npos)
        newest = entry.path().filename();
    return newest;
  };
  auto state = [&](const std::string& log) {
    std::string object = job_object(status(), log);
    size_t at = object.find("state:\"");
    return at == std::string::npos ? object : object.substr(at + 7, object.find('"', at + 7) - at - 7);
  };
  std::string a = torrent("a.torrent", "40"), b = torrent("b.torrent", "0");
  EXPECT_EQ(state(b), "queued");
  testing::SilentListener listener;
  add("http://127.0.0.1:" + std::to_string(listener.port()) + "/w");
  EXPECT_EQ(wgets(), 1u);
  EXPECT_EQ(state(a), "running");

  // Seeding, a frees the torrents' slot: b starts.
  ASSERT_TRUE(eventually([&] { return state(a) == "seeding"; }, 60)) << read_text(box_.trkdir() + a);
  EXPECT_TRUE(eventually([&] { return state(b) == "running"; }));
  // Counted, seeding holds it: b, stopped and started again, waits.
  ASSERT_EQ(ctl({"FORM_cmd=stop", "FORM_file=" + b}), "OK");
  ASSERT_EQ(ctl({"FORM_cmd=queue", "FORM_seeding_counts=1"}), "OK");
  ASSERT_EQ(ctl({"FORM_cmd=starttor", "FORM_file=" + b}), "OK");
  EXPECT_EQ(state(b), "queued");
}

}  // namespace
}  // namespace kiv
