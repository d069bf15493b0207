#include "ctl/magnet.h"

#include <gtest/gtest.h>

namespace kiv::ctl {
namespace {

const std::string kHex = "c12fe1c06bba254a9dc9f519b335aa7c1367a88a";
// The same 20 bytes in base32.
const std::string kBase32 = "YEX6DQDLXISUVHOJ6UM3GNNKPQJWPKEK";

TEST(Magnet, TakenLinks) {
  struct Case {
    std::string uri, hash, name;
  } cases[] = {
      {"magnet:?xt=urn:btih:" + kHex, kHex, ""},
      {"magnet:?xt=urn:btih:C12FE1C06BBA254A9DC9F519B335AA7C1367A88A", kHex, ""},
      {"magnet:?xt=urn:btih:" + kBase32, kHex, ""},
      {"magnet:?xt=urn:btih:yex6dqdlxisuvhoj6um3gnnkpqjwpkek", kHex, ""},
      {"magnet:?dn=Holiday%20pack%C3%A9&xt=urn:btih:" + kHex +
           "&tr=udp%3A%2F%2Ftracker.example%3A6969&tr=http://127.0.0.1:6969/announce"
           "&tr=https://t.example/a?x=1&ws=http://seed.example/f&xl=4096",
       kHex, "Holiday pack\xC3\xA9"},
  };
  for (const Case& c : cases) {
    std::variant<Magnet, std::string> read = read_magnet(c.uri);
    ASSERT_TRUE(std::holds_alternative<Magnet>(read)) << c.uri << ": " << std::get<1>(read);
    EXPECT_EQ(std::get<Magnet>(read).hash, c.hash) << c.uri;
    EXPECT_EQ(std::get<Magnet>(read).name, c.name) << c.uri;
  }
}

TEST(Magnet, RefusedLinks) {
  const std::string xt = "xt=urn:btih:" + kHex;
  struct Case {
    std::string uri, why;
  } cases[] = {
      {"", "it must begin with \"magnet:?\"."},
      {"http://x/a.torrent", "it must begin with \"magnet:?\"."},
      {"MAGNET:?" + xt, "it must begin with \"magnet:?\"."},
      {"magnet:?", "each parameter must be a name, \"=\" and a value."},
      {"magnet:?" + xt + "&", "each parameter must be a name, \"=\" and a value."},
      {"magnet:?" + xt + "&&dn=a", "each parameter must be a name, \"=\" and a value."},
      {"magnet:?" + xt + "&dn=", "each parameter must be a name, \"=\" and a value."},
      {"magnet:?" + xt + "&=x", "each parameter must be a name, \"=\" and a value."},
      {"magnet:?dn=a", "it must hold exactly one xt=urn:btih: parameter."},
      {"magnet:?" + xt + "&" + xt, "it must hold exactly one xt=urn:btih: parameter."},
      {"magnet:?xt=urn:btih:" + kHex.substr(1), "xt must be urn:btih: with 40 hexadecimal or 32 base32 characters."},
      {"magnet:?xt=urn:btih:" + kHex + "0", "xt must be urn:btih: with 40 hexadecimal or 32 base32 characters."},
      {"magnet:?xt=urn:btih:" + kBase32.substr(0, 31) + "1", "xt must be urn:btih: with 40 hexadecimal or 32 base32 characters."},
      {"magnet:?xt=urn:btmh:" + kHex, "xt must be urn:btih: with 40 hexadecimal or 32 base32 characters."},
      {"magnet:?xt=urn:sha1:" + kBase32, "xt must be urn:btih: with 40 hexadecimal or 32 base32 characters."},
      {"magnet:?" + xt + "&tr=file:///etc/passwd", "trackers (tr) must be http, https or udp addresses."},
      {"magnet:?" + xt + "&tr=http://", "trackers (tr) must be http, https or udp addresses."},
      {"magnet:?" + xt + "&tr=HTTP://x", "trackers (tr) must be http, https or udp addresses."},
      {"magnet:?" + xt + "&ws=udp://x/", "web seeds (ws) must be http or https addresses."},
      {"magnet:?" + xt + "&xl=12k", "xl must be a number of bytes."},
      {"magnet:?" + xt + "&dn=a&dn=b", "dn and xl may be given once each."},
      {"magnet:?" + xt + "&xs=http://x/a.torrent", "the parameter xs is not taken."},
      {"magnet:?" + xt + "&so=0", "the parameter so is not taken."},
      {"magnet:?" + xt + "&dn=a%2", "the value of dn is not properly encoded."},
      {"magnet:?" + xt + "&dn=a%zz", "the value of dn is not properly encoded."},
      {"magnet:?" + xt + "&dn=a%0Ab", "the value of dn is not properly encoded."},
      {"magnet:?" + xt + "&tr=http://x/%00", "the value of tr is not properly encoded."},
      {"magnet:?" + xt + "&dn=a b", "character 66 is not allowed in a link."},
      {"magnet:?" + xt + "&dn=\"$(x)`y`", "character 65 is not allowed in a link."},
      {"magnet:?" + xt + "&dn=a\tb", "character 66 is not allowed in a link."},
      {"magnet:?" + xt + "&dn=a\\b", "character 66 is not allowed in a link."},
      {"magnet:?" + xt + "&dn=" + std::string(kMagnetLength - 63, 'x'),
       "it is longer than 500 characters."},
  };
  for (const Case& c : cases) {
    std::variant<Magnet, std::string> read = read_magnet(c.uri);
    ASSERT_TRUE(std::holds_alternative<std::string>(read)) << c.uri;
    EXPECT_EQ(std::get<std::string>(read), "Invalid magnet link: " + c.why) << c.uri;
  }
  EXPECT_TRUE(std::holds_alternative<Magnet>(
      read_magnet("magnet:?" + xt + "&dn=" + std::string(kMagnetLength - 64, 'x'))));
}

TEST(Magnet, StartLineQuotesWhatTheUserGave) {
  std::string line = aria2_command_line(
      {"aria2c", {"6881-6999", "1.0", "60", false}, "/d/sub $x/", "/t/AbC123.dht",
       aria2_limits(40, 8), "magnet:?xt=urn:btih:" + kHex + "&dn=$(x)`y`", "/t/AbC123.tor"});
  EXPECT_EQ(line,
            "aria2c --no-conf --enable-rpc=false --no-netrc=true --enable-color=false "
            "--human-readable=false --console-log-level=notice --summary-interval=5 "
            "--dir '/d/sub $x/' --allow-overwrite=false --auto-file-renaming=false "
            "--file-allocation=none --listen-port=6881-6999 "
            "--dht-listen-port=6881-6999 --enable-dht=false --enable-dht6=false "
            "--dht-file-path '/t/AbC123.dht' --seed-ratio=1.0 --seed-time=60 "
            "--bt-metadata-only=true --bt-save-metadata=true "
            "--max-download-limit=40K --max-upload-limit=8K "
            "'magnet:?xt=urn:btih:" + kHex + "&dn=$(x)`y`' < /dev/null >> '/t/AbC123.tor' "
            "2>&1 & echo -n $!");
  // The fetched torrent's run: its files, nothing saved beside them.
  EXPECT_TRUE(aria2_command_line({"aria2c", {}, "/d/", "/t/A.dht", "", "/t/A.torrent", "/t/A.tor"})
                  .ends_with(" --bt-save-metadata=false '/t/A.torrent' < /dev/null >> '/t/A.tor' "
                             "2>&1 & echo -n $!"));
  EXPECT_EQ(aria2_limits(0, 0), "");
  EXPECT_EQ(aria2_limits(0, 5), "--max-upload-limit=5K");
}

TEST(Magnet, LogEndedByItself) {
  const std::string results =
      "\nDownload Results:\ngid   |stat|avg speed  |path/URI\n======+====+===\n"
      "56e04a|OK  |       0B/s|[MEMORY][METADATA]a366\n";
  EXPECT_TRUE(aria2_log_ended(results + "47c42f|OK  |  4000B/s|/d/content.bin\n"));
  EXPECT_TRUE(aria2_log_ended(results + "47c42f|ERR |       n/a|/d/content.bin\n"));
  // Stopped or killed while it ran: continued after a power cut.
  EXPECT_FALSE(aria2_log_ended(results + "47c42f|INPR|  4000B/s|/d/content.bin\n"));
  EXPECT_FALSE(aria2_log_ended("FILE: /d/content.bin\n[#47c42f 4000B/299999B(1%) CN:2 SD:1]\n"));
}

}  // namespace
}  // namespace kiv::ctl
