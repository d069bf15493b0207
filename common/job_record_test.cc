#include "common/job_record.h"

#include <gtest/gtest.h>

#include "common/quote.h"

namespace kiv {
namespace {

TEST(JobRecord, LinesReadUpToTheirWidth) {
  // A long first line does not spill into the source.
  JobRecord record = parse_record("1234567890123\nsrc\nopt");
  EXPECT_EQ(record.pid, "123456789");
  EXPECT_EQ(record.source, "src");
  EXPECT_EQ(record.options, "opt");

  std::string longer(1200, 'u');
  record = parse_record("1\n" + longer + "\n" + longer + "\n");
  EXPECT_EQ(record.source, std::string(kRecordLineLength, 'u'));
  EXPECT_EQ(record.options, std::string(kRecordLineLength, 'u'));

  record = parse_record("");
  EXPECT_EQ(record.pid + record.source + record.options, "");
  EXPECT_EQ(record.folder, std::nullopt);  // an older record: no folder line
  EXPECT_EQ(parse_record("1\nu\no\n\n").folder, "");
  EXPECT_EQ(parse_record("1\nu\no\n/sub\n").folder, "/sub");
}

// What each record text reads as: older forms as they always did, a cut or
// empty one as none at all.
TEST(JobRecord, WholeOrNone) {
  struct Case {
    std::string text;
    bool whole;
    JobWish wish;
  } cases[] = {
      {"123\nhttp://h/x\n\n", true, JobWish::unknown},              // before folders
      {"123\nhttp://h/x\n-t 3\n/sub\n", true, JobWish::unknown},    // before wishes
      {"123\nhttp://h/x\n\n/sub\nrunning\n", true, JobWish::running},
      {"123\n/d/c.torrent\n\n\nstopped\n", true, JobWish::stopped},
      {"\nhttp://h/x\n\n/sub\n", true, JobWish::unknown},           // never started
      {"123\nhttp://h/x\n\n/sub\nlater\n", true, JobWish::unknown}, // a newer wish
      {"\nhttp://h/x\n\n/sub\nqueued\n7\n", true, JobWish::queued},
      {"", false, JobWish::unknown},
      {"123\nhttp://h/x", false, JobWish::unknown},                 // cut in the middle
      {"123\nhttp://h/x\n", false, JobWish::unknown},
      {"123\nhttp://h/x\n\n/sub\nrunn", false, JobWish::unknown},
      {"12a\nhttp://h/x\n\n", false, JobWish::unknown},
      {"1234567890\nhttp://h/x\n\n", false, JobWish::unknown},
      {"123\n" + std::string(kRecordLineLength + 1, 'u') + "\n\n", false, JobWish::unknown},
  };
  for (const Case& c : cases) {
    std::optional<JobRecord> record = read_record(c.text);
    EXPECT_EQ(record.has_value(), c.whole) << c.text;
    if (record) {
      EXPECT_EQ(record->wish, c.wish) << c.text;
    }
  }
}

TEST(JobRecord, WrittenAsRead) {
  for (const JobRecord& record :
       {JobRecord{"12", "http://h/x", "-t 3", "/sub", JobWish::running},
        JobRecord{"12", "/d/c.torrent", "", "", JobWish::stopped},
        JobRecord{"", "http://h/x", "", "", JobWish::unknown},
        JobRecord{"", "http://h/x", "", "/sub", JobWish::queued, -3},
        JobRecord{"12", "magnet:?xt", "", "", JobWish::running, 0, QueueSlot::outside},
        JobRecord{"12", "/d/c.torrent", "", "", JobWish::running, 0, QueueSlot::outside,
                  StatusLine::alternative},
        JobRecord{"", "/d/c.torrent", "", "", JobWish::queued, 4, QueueSlot::counted,
                  StatusLine::alternative},
        JobRecord{"", "/d/c.torrent", "", std::nullopt, JobWish::unknown, 0,
                  QueueSlot::counted, StatusLine::alternative}}) {
    std::optional<JobRecord> back = read_record(record_text(record));
    ASSERT_TRUE(back);
    EXPECT_EQ(record_text(*back), record_text(record));
  }
  // An older record gets no wish: without its folder line the wish would
  // be taken for the folder.
  EXPECT_EQ(record_text({"12", "u", "o", std::nullopt, JobWish::stopped}), "12\nu\no\n");
  // The status line after the lines before it, empty where they say
  // nothing; records without it read as the usual one.
  EXPECT_EQ(record_text({"12", "u", "o", "", JobWish::running, 0, QueueSlot::counted,
                         StatusLine::alternative}),
            "12\nu\no\n\nrunning\n\nasl\n");
  for (std::string_view text : {"12\nu\no\n", "12\nu\no\n\nrunning\n", "12\nu\no\n\nqueued\n3\n"})
    EXPECT_EQ(parse_record(text).status_line, StatusLine::usual) << text;
}

TEST(JobRecord, JobNames) {
  for (std::string_view name : {"Ab12.wgt", "a_b-c.tor", "x", "x."})
    EXPECT_TRUE(is_job_name(name)) << name;
  for (std::string_view name : {"", ".tor", "..x", "a/b.wgt", "a b", "a;b", "a\nb", "a\\b"})
    EXPECT_FALSE(is_job_name(name)) << name;
  EXPECT_TRUE(is_job_name(std::string(kMaxNameLength, 'a')));
  EXPECT_FALSE(is_job_name(std::string(kMaxNameLength + 1, 'a')));
}

TEST(JobRecord, RecordOfLog) {
  struct Case {
    std::string_view log, record;
  } cases[] = {
      {"12.wgt", "12"},
      {"12.x.tor", "12.x"},
      {"/var/kiv.d/12.tor", "/var/kiv.d/12"},
      {"12.", "12"},
      {"12", "12"},  // no suffix: the log itself
  };
  for (const Case& c : cases) EXPECT_EQ(record_of_log(c.log), c.record) << c.log;
}

}  // namespace
}  // namespace kiv
