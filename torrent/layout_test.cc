#include "torrent/layout.h"

#include <gtest/gtest.h>

namespace kiv::torrent {
namespace {

TEST(Layout, FilesTrackersAndPieces) {
  std::string hashes(3 * 20, 'h');
  // Members of the wrong kind are left out; a tracker named twice is one.
  std::string data =
      "d8:announce13:http://t/a:1/13:announce-listll13:http://t/a:1/el11:udp://u:2/ai3eee"
      "7:comment3:hi!4:infod5:filesld6:lengthi1000e4:pathl3:sub5:a.jpgeed6:lengthi70000e"
      "4:pathl5:b.jpgeed6:lengthi5e4:pathi3eee4:name12:Holiday pack12:piece lengthi32768e"
      "6:pieces60:" + hashes + "ee";
  TorrentLayout layout = read_layout(data);
  EXPECT_EQ(layout.name, "Holiday pack");
  EXPECT_EQ(layout.piece_length, 32768);
  EXPECT_EQ(layout.pieces, 3);
  ASSERT_EQ(layout.files.size(), 3u);
  EXPECT_EQ(layout.files[0].path, "sub/a.jpg");
  EXPECT_EQ(layout.files[1].size, 70000);
  EXPECT_EQ(layout.files[2].path, "");
  EXPECT_EQ(layout.trackers, (std::vector<std::string>{"http://t/a:1/", "udp://u:2/a"}));

  // One file: its name, its length.
  layout = read_layout("d4:infod6:lengthi7e4:name3:one12:piece lengthi4e6:pieces40:" +
                       std::string(40, 'h') + "ee");
  ASSERT_EQ(layout.files.size(), 1u);
  EXPECT_EQ(layout.files[0].path, "one");
  EXPECT_EQ(layout.files[0].size, 7);
}

TEST(Layout, FileProgressFromTheBitField) {
  // Pieces of 10 bytes; files of 5, 20, 0 and 12 bytes over 4 pieces
  // (the last one short).
  TorrentLayout layout{"t", 10, 4, {{"a", 5}, {"b", 20}, {"empty", 0}, {"c", 12}}, {}, false};
  struct Case {
    unsigned char bits;
    std::vector<long long> done;
  };
  const Case cases[] = {
      {0x00, {0, 0, 0, 0}},
      {0xF0, {5, 20, 0, 12}},
      {0x80, {5, 5, 0, 0}},    // piece 0: a, and b's first 5 bytes
      {0x40, {0, 10, 0, 0}},   // piece 1: inside b
      {0x20, {0, 5, 0, 5}},    // piece 2: b's last 5, c's first 5
      {0x10, {0, 0, 0, 7}},    // piece 3: the rest of c
      {0x1F, {0, 0, 0, 7}},    // bits past the last piece mean nothing
  };
  for (const Case& c : cases)
    EXPECT_EQ(file_progress(layout, std::string(1, char(c.bits))), c.done) << int(c.bits);
  EXPECT_EQ(file_progress(layout, ""), std::nullopt);
  EXPECT_EQ(file_progress(layout, "ab"), std::nullopt);
}

}  // namespace
}  // namespace kiv::torrent
