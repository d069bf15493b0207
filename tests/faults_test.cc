// Faults a real box meets, through the real web server: clients that go
// away or stall mid-upload, a full disk, a daemon killed and restarted,
// requests racing each other and folders removed under a running request.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "common/dir.h"
#include "common/file.h"
#include "tests/support/installation.h"
#include "tests/support/processes.h"
#include "tests/support/programs.h"
#include "tests/support/web.h"

namespace kiv {
namespace {

using testing::eventually;
using testing::read_text;
using testing::write_text;

std::string random_bytes(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    data[i] = char(seed >> 23);
  }
  return data;
}

/// The entry names of a kiv-list status answer, in its order.
std::vector<std::string> listed_names(const std::string& answer) {
  std::vector<std::string> names;
  const std::string entry = "{file:'";
  for (size_t at = answer.find(entry); at != std::string::npos; at = answer.find(entry, at)) {
    at += entry.size();
    names.push_back(answer.substr(at, answer.find('\'', at) - at));
  }
  return names;
}

class Faults : public ::testing::Test {
 protected:
  testing::Installation installation_;
  std::string root_ = installation_.root();
  std::string dnl_ = installation_.dnldir();
  testing::WebSite site_{installation_};

  void SetUp() override {
    if (!testing::WebSite::available()) GTEST_SKIP() << "lighttpd or curl is not installed";
  }
  void start(size_t small_disk_kib = 0) {
    ASSERT_TRUE(site_.start(small_disk_kib)) << read_text(root_ + "log/webserver.log");
  }

  std::vector<pid_t> receivers() const {
    return testing::processes_running(root_ + "www/kiv/cgi-bin/kiv-upload");
  }
  /// The receiver's temporary files in the download directory.
  std::vector<std::string> temporaries() const {
    auto names = scan_directory(dnl_, ScanOrder::by_name);
    if (!names) return {"?"};
    std::erase_if(*names, [](const std::string& name) { return name.find(".upload-") == std::string::npos; });
    return *names;
  }
  std::string listing(const std::string& query = "") const {
    return site_.curl({site_.url("/cgi-bin/kiv-list?" + query)});
  }

  /// A browser that has sent the start of an upload of `name` (announcing
  /// ten megabytes) and `data_bytes` of its data, and waits.
  UniqueFd begin_upload(const std::string& name, size_t data_bytes) const {
    std::string part = "------X1\r\nContent-Disposition: form-data; name=\"up\"; filename=\"" +
                       name + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    std::string head = "POST /cgi-bin/kiv-upload HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Kiv: 1\r\n"
                       "Cookie: curdir=/\r\n"
                       "Content-Type: multipart/form-data; boundary=----X1\r\n"
                       "Content-Length: " + std::to_string(part.size() + (10 << 20)) +
                       "\r\n\r\n";
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(site_.port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    EXPECT_TRUE(write_all(fd.get(), head + part + std::string(data_bytes, 'u')));
    return fd;
  }
};

TEST_F(Faults, AbortedUploadsLeaveNoTemporaryFile) {
  start();
  // The client goes away with a megabyte sent; or it stalls, and the web
  // server (at its timeout, or when stopped) ends the receiver by a signal.
  struct Case {
    const char* what;
    size_t data_bytes;
    int signal;  // 0: the client disconnects
  } cases[] = {
      {"disconnect", 1 << 20, 0},       {"stall, SIGTERM", 0, SIGTERM},
      {"stall, SIGHUP", 4096, SIGHUP},  {"stall, SIGPIPE", 0, SIGPIPE},
      {"stall, SIGINT", 0, SIGINT},
  };
  for (const Case& c : cases) {
    UniqueFd client = begin_upload("film.mkv", c.data_bytes);
    // The receiver signalled is the one seen: read again, the list may be
    // empty by then, and an empty list's front() could be 0, this group.
    std::vector<pid_t> seen;
    ASSERT_TRUE(eventually([&] { return temporaries().size() == 1 && (seen = receivers()).size() == 1; }))
        << c.what;
    if (c.signal == 0) client.close();
    else kill(seen.front(), c.signal);
    EXPECT_TRUE(eventually([&] { return temporaries().empty() && receivers().empty(); }))
        << c.what << ": " << temporaries().size() << " left";
  }
  EXPECT_EQ(listed_names(listing()), std::vector<std::string>{});
}

TEST_F(Faults, LeftoversOfAKilledReceiverGoAfterADay) {
  start();
  // Killed outright, a receiver cannot clean up: its file stays until the
  // next upload into that folder finds it a day old.
  UniqueFd client = begin_upload("film.mkv", 1000);
  std::vector<pid_t> seen;
  ASSERT_TRUE(eventually([&] { return temporaries().size() == 1 && (seen = receivers()).size() == 1; }));
  kill(seen.front(), SIGKILL);
  ASSERT_TRUE(eventually([&] { return receivers().empty(); }));
  client.close();
  ASSERT_EQ(temporaries().size(), 1u);
  std::string killed = temporaries().front();

  // Only temporary names (of uploads, copies and packs), plain files (or a
  // folder copy's folder), a day old, go.
  const time_t old = time(nullptr) - 25 * 3600;
  struct Entry {
    std::string name;
    bool directory;
    time_t mtime;
    bool removed;
  } entries[] = {
      {killed, false, old, true},
      {".a b.upload-Zz09aB", false, old, true},
      {".copied.txt.copy-Zz09aB", false, old, true},
      {".film.tar.gz.pack-Zz09aB", false, old, true},
      {".copy-Zz09aB", false, old, false},
      {".fresh.upload-Zz09aB", false, time(nullptr) - 3600, false},
      {"plain.upload-Zz09aB", false, old, false},
      {".short.upload-Zz09a", false, old, false},
      {".long.upload-Zz09aBc", false, old, false},
      {".odd.upload-Zz0-aB", false, old, false},
      {".upload-Zz09aB", false, old, false},
      {".dir.upload-Zz09aB", true, old, false},
      {".dir.copy-Zz09aB", true, old, true},  // a folder copy's
  };
  for (const Entry& e : entries) {
    std::string path = dnl_ + e.name;
    if (e.directory) mkdir(path.c_str(), 0755);
    else if (e.name != killed) write_text(path, "x");
    timespec times[2] = {{e.mtime, 0}, {e.mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  write_text(root_ + "new.txt", "new");
  EXPECT_EQ(site_.upload(root_ + "new.txt"), "");
  for (const Entry& e : entries)
    EXPECT_EQ(access((dnl_ + e.name).c_str(), F_OK) != 0, e.removed) << e.name;
  EXPECT_EQ(read_text(dnl_ + "new.txt"), "new");
  // Nor is a file stored under such a name, to be taken for one later.
  write_text(root_ + ".x.upload-Zz09aB", "x");
  EXPECT_EQ(site_.upload(root_ + ".x.upload-Zz09aB"), "Upload failed: unable to save file");
  EXPECT_EQ(site_.ctl("cmd=copy&file=new.txt&para=.x.copy-Zz09aB"),
            "Reserved file name: " + dnl_ + ".x.copy-Zz09aB");
}

TEST_F(Faults, FullDiskUploadCopyAndPackLeaveNothingBehind) {
  if (!testing::WebSite::can_mount())
    GTEST_SKIP() << "needs root and unshare to mount a small file system";
  start(256);  // KiB, over the download directory
  auto names = [&] { return listed_names(listing()); };
  std::string big = random_bytes(150 << 10, 1), mid = random_bytes(100 << 10, 2);
  write_text(root_ + "big.bin", big);
  write_text(root_ + "mid.bin", mid);
  write_text(root_ + "huge.bin", random_bytes(300 << 10, 3));
  ASSERT_EQ(site_.upload(root_ + "big.bin"), "");
  EXPECT_EQ(site_.upload(root_ + "huge.bin"), "Upload failed: unable to save file");
  EXPECT_EQ(names(), std::vector<std::string>{"big.bin"});

  // No room for a copy over a small file: cp's words, and the file is whole.
  write_text(root_ + "keep.txt", "keep me");
  ASSERT_EQ(site_.upload(root_ + "keep.txt"), "");
  std::string copied = site_.ctl("cmd=copy&file=big.bin&para=keep.txt");
  EXPECT_NE(copied.find("No space left on device"), std::string::npos) << copied;
  EXPECT_TRUE(site_.curl({site_.url("/dnl/keep.txt")}) == "keep me") << "keep.txt was cut";
  std::vector<std::string> kept = names();
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"big.bin", "keep.txt"}));
  EXPECT_EQ(site_.ctl("cmd=rem&file=keep.txt"), "OK");

  // No room for a second copy: cp's own words, and no part copy.
  copied = site_.ctl("cmd=copy&file=big.bin&para=copy.bin");
  EXPECT_TRUE(copied.starts_with("cp: ")) << copied;
  EXPECT_NE(copied.find("No space left on device"), std::string::npos) << copied;
  EXPECT_EQ(names(), std::vector<std::string>{"big.bin"});
  EXPECT_EQ(site_.ctl("cmd=mkdir&file=folder"), "OK");
  copied = site_.ctl("cmd=copy&file=big.bin&para=folder");
  EXPECT_NE(copied.find("No space left on device"), std::string::npos) << copied;
  EXPECT_EQ(listed_names(listing("curdir=folder")), std::vector<std::string>{});
  EXPECT_EQ(site_.ctl("cmd=rem&file=folder"), "OK");

  // No room for the archive: gzip's words, and no part archive.
  std::string packed = site_.ctl("cmd=targz&file=big.bin");
  EXPECT_NE(packed.find("gzip: stdout: No space left on device"), std::string::npos) << packed;
  EXPECT_EQ(names(), std::vector<std::string>{"big.bin"});

  // Room for the archive alone: no uncompressed copy is made on the way.
  EXPECT_EQ(site_.ctl("cmd=rem&file=big.bin"), "OK");
  ASSERT_EQ(site_.upload(root_ + "mid.bin"), "");
  EXPECT_EQ(site_.ctl("cmd=targz&file=mid.bin"), "OK");
  std::vector<std::string> both = names();
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, (std::vector<std::string>{"mid.bin", "mid.bin.tar.gz"}));
  EXPECT_EQ(site_.curl({site_.url("/dnl/mid.bin")}), mid);
}

TEST_F(Faults, DaemonKilledAndRestartedWhileClientsReadTheStatus) {
  start();
  std::string kivd = root_ + "bin/kivd";
  testing::copy_program("daemon/kivd", kivd);
  write_text(root_ + "kiv.conf", "# defaults\n");
  const std::string published = read_text("/tmp/kiv.conf");  // what kivd writes too
  auto kill_all = [&] { testing::end_processes_running(kivd); };

  std::atomic<int> answers = 0, partial_copies = 0;
  std::vector<std::string> bad;
  std::mutex bad_lock;
  // Declared after what they use: however the test ends, even by an
  // exception, they are stopped and joined before it goes.
  std::vector<std::jthread> clients;
  for (int i = 0; i < 2; ++i) {
    clients.emplace_back([&](std::stop_token stop) {
      while (!stop.stop_requested()) {
        std::string answer = listing("full=1");
        ++answers;
        if (!answer.starts_with("{nfo:[") || !answer.ends_with("'}}")) {
          std::lock_guard<std::mutex> hold(bad_lock);
          bad.push_back(answer);
        }
      }
    });
  }
  clients.emplace_back([&](std::stop_token stop) {
    while (!stop.stop_requested())
      if (read_text("/tmp/kiv.conf") != published) ++partial_copies;
  });
  // Rounds go on until the readers have had answers across the kills: a
  // slow (emulated, loaded) machine answers fewer in the same rounds.
  const int kRounds = 30, kAnswers = 10;
  auto deadline = std::chrono::steady_clock::now() + testing::allowance(std::chrono::seconds(60));
  for (int round = 0;
       round < kRounds || (answers <= kAnswers && std::chrono::steady_clock::now() < deadline);
       ++round) {
    testing::run_program(testing::program_command(kivd), {"PATH=/usr/bin:/bin"});
    usleep(useconds_t(round % 6) * 4000);
    kill_all();
  }
  clients.clear();
  kill_all();
  EXPECT_GT(answers, kAnswers);
  EXPECT_EQ(partial_copies, 0);
  EXPECT_TRUE(bad.empty()) << bad.size() << " bad answers, the first: " << bad.front();
}

TEST_F(Faults, TwoUploadsOfOneNameAtOnce) {
  start();
  const std::string first = random_bytes(3 << 20, 4), second = random_bytes(3 << 20, 5);
  std::filesystem::create_directories(root_ + "first");
  std::filesystem::create_directories(root_ + "second");
  write_text(root_ + "first/same.bin", first);
  write_text(root_ + "second/same.bin", second);
  for (int round = 0; round < 3; ++round) {
    std::string answers[2];
    std::thread one([&] { answers[0] = site_.upload(root_ + "first/same.bin"); });
    std::thread two([&] { answers[1] = site_.upload(root_ + "second/same.bin"); });
    one.join();
    two.join();
    EXPECT_EQ(answers[0], "");
    EXPECT_EQ(answers[1], "");
    std::string stored = read_text(dnl_ + "same.bin");
    EXPECT_TRUE(stored == first || stored == second) << "a mix of " << stored.size() << " bytes";
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
  }
}

TEST_F(Faults, FoldersRemovedDuringTreeAndListing) {
  start();
  // Other requests remove and remake a nest of folders all the time; every
  // tree and listing answer stays whole.
  std::atomic<bool> done = false;
  std::thread churn([&] {
    while (!done) {
      std::filesystem::create_directories(dnl_ + "churn/a/b/c/d");
      std::filesystem::create_directories(dnl_ + "churn/e/f");
      write_text(dnl_ + "churn/a/b/file", "x");
      std::error_code ignored;
      std::filesystem::remove_all(dnl_ + "churn", ignored);
    }
  });
  std::vector<std::string> bad;
  int trees = 0, listings = 0;
  for (int i = 0; i < 60; ++i) {
    std::string tree = site_.curl({site_.url("/cgi-bin/kiv-list?cmd=tree&file=X")});
    ++trees;
    auto count = [&](const std::string& part) {
      size_t n = 0;
      for (size_t at = tree.find(part); at != std::string::npos; at = tree.find(part, at + 1)) ++n;
      return n;
    };
    if (!tree.starts_with("<ul rel=open id=X><li><span class='X' id='/'>dnl</span>") ||
        !tree.ends_with("</li></ul>") || count("<li>") != count("</li>") ||
        count("<ul") != count("</ul>"))
      bad.push_back(tree);
    for (const char* curdir : {"churn/a/b", "churn/a/b/c/d"}) {
      std::string list = listing(std::string("full=1&curdir=") + curdir);
      ++listings;
      if (!list.starts_with("{nfo:[") || !list.ends_with("'}}") ||
          (list.find(std::string("curdir: '") + curdir + "'") == std::string::npos &&
           list.find("curdir: '/'") == std::string::npos))
        bad.push_back(list);
    }
  }
  done = true;
  churn.join();
  EXPECT_EQ(trees, 60);
  EXPECT_TRUE(bad.empty()) << bad.size() << " bad answers, the first: " << bad.front();
}

}  // namespace
}  // namespace kiv
