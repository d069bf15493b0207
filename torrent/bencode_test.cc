#include "torrent/bencode.h"

#include <gtest/gtest.h>

#include "common/response.h"
#include "tests/support/child.h"

namespace kiv::torrent {
namespace {

/// The printed text of the value that `data` starts with, checked first as
/// the program does; both readings end at the same byte.
std::string printed(std::string_view data) {
  Cursor check{data};
  check_value(check);
  out_reset();
  Cursor cursor{data};
  print_value(cursor);
  EXPECT_EQ(cursor.at, check.at) << data;
  return out_text();
}

/// The message body a request ends with while checking and printing `data`.
std::string refusal(std::string data) {
  testing::ChildResult result = testing::run_in_child([&] { printed(data); });
  EXPECT_EQ(result.exit_code(), 0);
  size_t body = result.out.find("\r\n\n");
  return body == std::string::npos ? "(no answer) " + result.out : result.out.substr(body + 3);
}

TEST(Bencode, Kinds) {
  EXPECT_EQ(printed("le"), "[]");
  EXPECT_EQ(printed("de"), "{}");
  EXPECT_EQ(printed("l1:ai1el1:bee"), "['a',1,['b']]");
  EXPECT_EQ(printed("d1:b1:x1:a1:ye"), "{'b':'x','a':'y'}");  // file order
  EXPECT_EQ(printed("d1:ai1e1:ai2ee"), "{'a':1,'a':2}");      // duplicates kept
  EXPECT_EQ(printed("0:"), "''");
}

TEST(Bencode, Integers) {
  EXPECT_EQ(printed("i-42e"), "-42");
  EXPECT_EQ(printed("i+7e"), "7");
  EXPECT_EQ(printed("ie"), "0");
  EXPECT_EQ(printed("i007e"), "7");
  EXPECT_EQ(printed("i 5e"), "5");
  EXPECT_EQ(printed("i9223372036854775807e"), "9223372036854775807");
  EXPECT_EQ(printed("i-9223372036854775808e"), "-9223372036854775808");
  EXPECT_EQ(printed("i9223372036854775808e"), "9223372036854775807");
  EXPECT_EQ(printed("i-99999999999999999999999e"), "-9223372036854775808");
  EXPECT_EQ(printed("03:abc"), "'abc'");  // leading zeros in a length
}

TEST(Bencode, PiecesLeftOutAtEveryLevel) {
  EXPECT_EQ(printed("d6:pieces2:ab1:xi1ee"), "{'x':1}");
  EXPECT_EQ(printed("d1:xi1e6:pieces2:abe"), "{'x':1}");
  EXPECT_EQ(printed("d6:pieces2:abe"), "{}");
  EXPECT_EQ(printed("ld4:infod6:piecesli1eeeee"), "[{'info':{}}]") << "nested, list value";
  EXPECT_EQ(printed("d6:Piecesi1ee"), "{'Pieces':1}");
  // A long piece string is never printed, so never refused.
  EXPECT_EQ(printed("d6:pieces600:" + std::string(600, 'h') + "e"), "{}");
}

TEST(Bencode, EscapingKeepsTextInsideItsQuotes) {
  EXPECT_EQ(printed("4:it's"), "'it\\'s'");
  EXPECT_EQ(printed("d4:it'si1ee"), "{'it\\'s':1}");
  EXPECT_EQ(printed("d3:a\\b3:\n\r'e"), "{'a\\\\b':'\\n\\r\\''}");
  EXPECT_EQ(printed("12:</script>\xE2\x80\xA8"), "'</script>\\u2028'");
  EXPECT_EQ(printed("4:\"\xC3\xA9\x01"), "'\"\xC3\xA9\\x01'");
}

TEST(Bencode, ZeroByteEndsText) {
  EXPECT_EQ(printed(std::string("5:ab\0cd", 7)), "'ab'");
  EXPECT_EQ(printed(std::string("d8:pieces\0x1:ae", 15)), "{}");
}

TEST(Bencode, StringLengthLimit) {
  EXPECT_EQ(printed("500:" + std::string(500, 'a')), "'" + std::string(500, 'a') + "'");
  EXPECT_EQ(refusal("501:" + std::string(501, 'a')),
            "Filename too long please shorten it:  " + std::string(501, 'a'));
  // Counted up to the zero byte.
  EXPECT_EQ(printed("502:" + std::string(500, 'a') + std::string("\0b", 2)),
            "'" + std::string(500, 'a') + "'");
  // Only printed strings count; the first one is named, and only once the
  // whole value has read well.
  std::string a = std::string(501, 'a'), b = std::string(502, 'b');
  EXPECT_EQ(printed("d501:" + a + "i1ee"), "{'" + a + "':1}") << "keys are not refused";
  EXPECT_EQ(printed("d6:piecesl501:" + a + "ee"), "{}");
  EXPECT_EQ(refusal("d6:pieces501:" + a + "1:xl502:" + b + "501:" + a + "ee"),
            "Filename too long please shorten it:  " + b);
  EXPECT_EQ(refusal("l501:" + a + "x"), "Malformed torrent data: no value starts at byte 506");
}

TEST(Bencode, MalformedData) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "unexpected end of data at byte 0"},
      {"x", "no value starts at byte 0"},
      {"e", "no value starts at byte 0"},
      {"5:abc", "string runs past the end of the data at byte 2"},
      {"99999999999999999999:a", "string runs past the end of the data at byte 21"},
      {"3abc", "string length without ':' at byte 1"},
      {"3", "unexpected end of data at byte 1"},
      {"i12", "unexpected end of data at byte 3"},
      {"i12x", "integer not closed by 'e' at byte 3"},
      {"i", "unexpected end of data at byte 1"},
      {"l", "unexpected end of data at byte 1"},
      {"li1e", "unexpected end of data at byte 4"},
      {"d1:a", "unexpected end of data at byte 4"},
      {"di1ei2ee", "dictionary key is not a string at byte 1"},
      {"d-1:ae", "dictionary key is not a string at byte 1"},
      {"l-1:ae", "no value starts at byte 1"},
  };
  for (const auto& [data, what] : cases)
    EXPECT_EQ(refusal(data), "Malformed torrent data: " + what) << data;
}

TEST(Bencode, NestingBound) {
  std::string deep = std::string(kMaxDepth, 'l') + std::string(kMaxDepth, 'e');
  EXPECT_EQ(printed(deep), std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']'));
  EXPECT_EQ(refusal("l" + deep), "Malformed torrent data: nested too deeply at byte 256");
  // Far deeper than any stack would take.
  EXPECT_EQ(refusal(std::string(1000000, 'd')),
            "Malformed torrent data: dictionary key is not a string at byte 1");
  EXPECT_EQ(refusal(std::string(1000000, 'l')),
            "Malformed torrent data: nested too deeply at byte 256");
}

TEST(Bencode, TrailingDataIsIgnored) {
  Cursor cursor{"i1ejunk"};
  check_value(cursor);
  EXPECT_EQ(cursor.at, 3u);
  EXPECT_EQ(printed("le1:x"), "[]");
}

}  // namespace
}  // namespace kiv::torrent
