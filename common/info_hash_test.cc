#include "common/info_hash.h"

#include <gtest/gtest.h>
#include <vector>

#include "common/sha1.h"

namespace kiv {
namespace {

TEST(Sha1, StandardVectorsAndBlockEdges) {
  EXPECT_EQ(hex_digest(sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex_digest(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex_digest(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hex_digest(sha1(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  // Where the length no longer fits the last block, and a whole block.
  EXPECT_EQ(hex_digest(sha1(std::string(55, 'x'))), "cef734ba81a024479e09eb5a75b6ddae62e6abf1");
  EXPECT_EQ(hex_digest(sha1(std::string(56, 'x'))), "901305367c259952f4e7af8323f480d59f81335b");
  EXPECT_EQ(hex_digest(sha1(std::string(64, 'x'))), "bb2fa3ee7afb9f54c6dfb5d021f14b1ffe40c163");
}

TEST(InfoHash, TheInfoValueAsWritten) {
  std::string pieces(20, '\0');
  for (int i = 0; i < 20; ++i) pieces[i] = char(i);
  std::string info = "d6:lengthi3e4:name5:a.bin12:piece lengthi16384e6:pieces20:" + pieces + "e";
  const std::string hash = "379f0d97746dad5e29ba885937702a8e4ae4d6d6";
  EXPECT_EQ(torrent_info_hash("d8:announce9:http://x/4:info" + info + "e"), hash);
  // Other members before and after, nested, change nothing.
  EXPECT_EQ(torrent_info_hash("d1:ali1ei-2ed1:x0:ee4:info" + info + "5:zzzzzi0ee"), hash);

  for (const std::string& bad :
       std::vector<std::string>{"", "le", "d4:info" + info, "d4:infoi1ee", "d8:announce3:abce",
                          "d4:info" + info.substr(0, info.size() - 1) + "e",
                          "d3:key99:x4:info" + info + "e", "d1:xi-e4:info" + info + "e"})
    EXPECT_EQ(torrent_info_hash(bad), std::nullopt) << bad;
  std::string deep = std::string(kInfoHashMaxDepth + 1, 'l') + std::string(kInfoHashMaxDepth + 1, 'e');
  EXPECT_EQ(torrent_info_hash("d1:x" + deep + "4:info" + info + "e"), std::nullopt);
}

}  // namespace
}  // namespace kiv
