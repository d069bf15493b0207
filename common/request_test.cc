#include "common/request.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "tests/support/child.h"

extern char** environ;

namespace kiv {
namespace {


/// The FORM_ variables that decoding sets, one "name=value" per line in
/// sorted order, or the answer when decoding ended the request.
std::string decode(const char* query, const char* cookie = nullptr,
                   const char* length = nullptr, std::string body = {}) {
  auto result = testing::run_in_child(
      [&] {
        clearenv();
        if (query) setenv("QUERY_STRING", query, 1);
        if (cookie) setenv("HTTP_COOKIE", cookie, 1);
        if (length) setenv("CONTENT_LENGTH", length, 1);
        decode_request();
        std::vector<std::string> vars;
        for (char** e = environ; *e; ++e)
          if (std::string_view(*e).starts_with("FORM_")) vars.emplace_back(*e);
        std::sort(vars.begin(), vars.end());
        for (const std::string& v : vars) printf("%s\n", v.c_str());
      },
      body);
  return result.out;
}

std::string decoded(std::string text) {
  EXPECT_TRUE(url_decode(text)) << text;
  return text;
}

TEST(UrlDecode, Escapes) {
  EXPECT_EQ(decoded("%E9t%E9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(decoded("%e9"), "\xE9");
  EXPECT_EQ(decoded("%A0"), " ");
  EXPECT_EQ(decoded("%A1%BF%C0%FF"), "\xC2\xA1\xC2\xBF\xC3\x80\xC3\xBF");
  EXPECT_EQ(decoded("%41%9f%2B"), "A\x9F+");
  EXPECT_EQ(decoded("%Ex"), std::string(1, char(hex_byte('E', 'x'))));
  EXPECT_EQ(decoded("plain"), "plain");
  // What does not decode whole is reported, never taken for a shorter text.
  for (std::string cut : {"a%4", "ab%", "a%00b", "100%", "A/B%00/victim.txt"})
    EXPECT_FALSE(url_decode(cut)) << cut;
}

TEST(HexByte, Formula) {
  EXPECT_EQ(hex_byte('0', '0'), 0x00);
  EXPECT_EQ(hex_byte('f', 'F'), 0xFF);
  EXPECT_EQ(hex_byte('a', '9'), 0xA9);
  // Not hexadecimal: what the arithmetic gives, no error.
  EXPECT_EQ(hex_byte('g', 'z'), static_cast<unsigned char>(16 * (('g' & 0xDF) - 55) + (('z' & 0xDF) - 55)));
  EXPECT_EQ(hex_byte(' ', '0'), static_cast<unsigned char>(16 * (32 - 48)));
}

TEST(DecodeRequest, QueryString) {
  EXPECT_EQ(decode("cmd=del&file=My+Film%20(1).avi"),
            "FORM_cmd=del\nFORM_file=My Film (1).avi\n");
  EXPECT_EQ(decode("file=a%2Bb"), "FORM_file=a+b\n");
  EXPECT_EQ(decode("a=1&&b=2&"), "FORM_a=1\nFORM_b=2\n");
  EXPECT_EQ(decode("x=1&x=2"), "FORM_x=2\n");
  EXPECT_EQ(decode("n=a=b&e="), "FORM_e=\nFORM_n=a=b\n");
  EXPECT_EQ(decode("my%20f=1"), "FORM_my%20f=1\n");
  // Tokens without "=" set nothing.
  EXPECT_EQ(decode("a=1& &b=2&flag"), "FORM_a=1\nFORM_b=2\n");
}

TEST(DecodeRequest, SourcesOverwriteInOrder) {
  EXPECT_EQ(decode("cmd=a", nullptr, "5", "cmd=c"), "FORM_cmd=c\n");
  // Cookies are shared with every port of the host: only "curdir" is taken,
  // under its exact name, and a field sent with the request wins over it.
  EXPECT_EQ(decode(nullptr, "lang=en; cmd=run; file=x; xcurdir=/a; curdir=/b%20c; curdir=/d"),
            "FORM_curdir=/b c\n");
  EXPECT_EQ(decode("curdir=/q", "curdir=/c"), "FORM_curdir=/q\n");
  EXPECT_EQ(decode("cmd=a", "cmd=b"), "FORM_cmd=a\n");
  // "+" is a blank only in the query string.
  EXPECT_EQ(decode(nullptr, nullptr, "26", "file=My+Film%20(1).avi&x=1"),
            "FORM_file=My+Film (1).avi\nFORM_x=1\n");
}

TEST(DecodeRequest, Body) {
  EXPECT_EQ(decode(nullptr, nullptr, "0", "a=1"), "");
  EXPECT_EQ(decode(nullptr, nullptr, "-3", "a=1"), "");
  EXPECT_EQ(decode(nullptr, nullptr, "abc", "a=1"), "");
  EXPECT_EQ(decode(nullptr, nullptr, " +3", "a=1&b=2"), "FORM_a=1\n");
  // Longer than one read chunk.
  std::string body = "a=" + std::string(600, 'x') + "&b=2";
  std::string length = std::to_string(body.size());
  EXPECT_EQ(decode(nullptr, nullptr, length.c_str(), body),
            "FORM_a=" + std::string(600, 'x') + "\nFORM_b=2\n");
}

const std::string kHeaders =
    "Content-type: text/html;charset=utf-8\r\nPragma: no-cache\r\n"
    "Cache-Control: no-cache,no-store\r\nExpires: 0\r\n\n";

TEST(DecodeRequest, RefusesHugeOrShortBodies) {
  EXPECT_EQ(decode(nullptr, nullptr, "99999999999", "a=1"),
            kHeaders + "Request body too large: 99999999999");
  std::string limit = std::to_string(kMaxBodyLength + 1);
  EXPECT_EQ(decode(nullptr, nullptr, limit.c_str(), "a=1"),
            kHeaders + "Request body too large: " + limit);
  // The body ends early: nothing of it is used, and nothing waits.
  EXPECT_EQ(decode("cmd=rem", nullptr, "50", "file=abc"),
            kHeaders + "Request body ended early: 50");
}

TEST(DecodeRequest, FieldsAreTakenWholeOrRefused) {
  // The limit counts decoded bytes: 990 non-ASCII bytes pass however long
  // their escapes are.
  std::string at_limit;
  for (int i = 0; i < 990; ++i) at_limit += "%e9";
  EXPECT_EQ(decode(("f=" + at_limit).c_str()), "FORM_f=" + std::string(990, '\xE9') + "\n");
  struct Case {
    std::string query, body, answer;
  };
  const Case cases[] = {
      {"f=" + at_limit + "x", "",
       "Request field too long: f has 991 bytes, at most 990 are taken: " +
           std::string(60, '\xE9') + "..."},
      {std::string(991, 'n') + "=1", "",
       "Request field too long: field name has 991 bytes, at most 990 are taken: " +
           std::string(60, 'n') + "..."},
      {"cmd=rem&file=A/B%00/victim.txt", "", "Malformed request field: file"},
      {"cmd=rem&file=A/B%2", "", "Malformed request field: file"},
      {"", std::string("cmd=rem&file=A/B\0/victim.txt", 28),
       "Request body holds a zero byte"},
  };
  for (const Case& c : cases) {
    std::string length = std::to_string(c.body.size());
    EXPECT_EQ(decode(c.query.c_str(), "curdir=/", c.body.empty() ? nullptr : length.c_str(), c.body),
              kHeaders + c.answer)
        << c.query;
  }
}

}  // namespace
}  // namespace kiv
