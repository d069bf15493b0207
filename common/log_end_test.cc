#include "common/log_end.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

// Ends of real logs of wget 1.21 and ctorrent 1.3.4 on loopback.
TEST(LogEnd, Wget) {
  const std::string head =
      "--2026-12-09 16:13:01--  http://127.0.0.1:8999/big.bin\n"
      "Connecting to 127.0.0.1:8999... connected.\n"
      "HTTP request sent, awaiting response... 200 OK\n"
      "Length: 3000000 (2.9M) [application/octet-stream]\n"
      "Saving to: \xE2\x80\x98" "big.bin\xE2\x80\x99\n\n";
  const std::string bar =
      "\rbig.bin              17%[==>                 ] 516.00K   200KB/s               "
      "\rbig.bin              19%[==>                 ] 561.00K   200KB/s               ";
  struct Case {
    std::string tail;
    bool ended;
  } cases[] = {
      {head + bar, false},  // cut off while it fetched
      {head, false},
      {"--2026-12-09 16:13:01--  http://127.0.0.1:8999/x\nConnecting to 127.0.0.1:8999... ", false},
      {head + bar + "\rbig.bin 100%[===================>] 2.86M 200KB/s in 15s\n\n"
                    "2026-12-09 16:13:16 (200 KB/s) - \xE2\x80\x98" "big.bin\xE2\x80\x99 saved "
                    "[3000000/3000000]\n\n",
       true},
      {"HTTP request sent, awaiting response... 200 OK\n\n"
       "    The file is already fully retrieved; nothing to do.\n\n",
       true},
      {"HTTP request sent, awaiting response... 404 File not found\n"
       "2026-12-09 16:13:01 ERROR 404: File not found.\n\n",
       true},
      {"Connecting to 127.0.0.1:8998... failed: Connection refused.\n", true},
      // A failed try, then the next one under way.
      {head + "Read error at byte 516 (Connection reset by peer). Retrying.\n\n"
              "--2026-12-09 16:13:04--  (try: 2)  http://127.0.0.1:8999/big.bin\n" + bar,
       false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(wget_log_ended(c.tail), c.ended) << c.tail;
}

TEST(LogEnd, Ctorrent) {
  const std::string head =
      "-- 9/11/2026 16:2:0 --c.torrent\nMETA INFO\nListening on 127.0.0.1:2706\n";
  struct Case {
    std::string tail;
    bool ended;
  } cases[] = {
      {head + "\n/ 1/0/1 [3/12/12] 0MB,0MB | 120,0K/s | 0,0K E:0,1", false},
      {head, false},
      {head + "\n/ 1/0/1 [3/12/12] 0MB,0MB | 120,0K/s\nDownload complete.\n"
              "\n- 0/1/1 [12/12/12] 1MB,0MB | 0,0K/s | 0,20K E:0,1",
       true},
      {head + "\nerror, failed to read torrent file c.torrent", true},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ctorrent_log_ended(c.tail), c.ended) << c.tail;
}

}  // namespace
}  // namespace kiv
