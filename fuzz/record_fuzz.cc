// The job record reader, on records cut, overlong, with odd numbers and
// extra lines, against a model written from the record's rules:
//  - whole (read_record) exactly when the text ends with a line feed, has
//    at least three lines, a first line that is empty or a process number
//    (digits, no leading zero) of at most kPidTextLength, and no other line
//    over kRecordLineLength;
//  - a whole record's fields are its lines: process number, source,
//    options, the fourth line the folder (none without one), the fifth the
//    wish when it is "running", "stopped" or "queued";
//  - the lenient reader gives the same for a whole record, never a field
//    over its width, and the text written back reads back the same.
#include <string>
#include <vector>

#include "common/job_record.h"
#include "common/process.h"
#include "fuzz/harness.h"

namespace kiv::fuzz {
namespace {

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t end = std::min(text.find('\n'), text.size());
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

bool is_process_number(const std::string& line) {
  return line.empty() || (line.size() <= kPidTextLength && line[0] != '0' &&
                          line.find_first_not_of("0123456789") == std::string::npos);
}

std::optional<JobRecord> model(std::string_view text) {
  std::vector<std::string> lines = lines_of(text);
  if (!text.ends_with('\n') || lines.size() < 3 || !is_process_number(lines[0]))
    return std::nullopt;
  for (size_t i = 1; i < lines.size(); ++i)
    if (lines[i].size() > kRecordLineLength) return std::nullopt;
  JobRecord record{lines[0], lines[1], lines[2], std::nullopt};
  if (lines.size() > 3) record.folder = lines[3];
  if (lines.size() > 4)
    record.wish = lines[4] == "running"   ? JobWish::running
                  : lines[4] == "stopped" ? JobWish::stopped
                  : lines[4] == "queued"  ? JobWish::queued
                                          : JobWish::unknown;
  return record;
}

bool same(const JobRecord& a, const JobRecord& b) {
  return a.pid == b.pid && a.source == b.source && a.options == b.options &&
         a.folder == b.folder && a.wish == b.wish;
}

std::string described(const std::optional<JobRecord>& record) {
  if (!record) return "none";
  return "pid " + shown(record->pid) + ", source " + shown(record->source) + ", options " +
         shown(record->options) + ", folder " +
         (record->folder ? shown(*record->folder) : std::string("none")) + ", wish " +
         std::to_string(int(record->wish));
}

/// A line near the limits that matter, or the fuzzer's own bytes.
std::string line(FuzzedDataProvider& input, size_t index) {
  switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: return "";
    case 1: return std::to_string(input.ConsumeIntegral<uint32_t>());
    case 2: return "0" + std::to_string(input.ConsumeIntegralInRange(0, 999));
    case 3: return std::string(index == 0 ? kPidTextLength : kRecordLineLength, '7');
    case 4: return std::string(index == 0 ? kPidTextLength + 1 : kRecordLineLength + 1, 'x');
    case 5: return input.ConsumeBool() ? "running" : input.ConsumeBool() ? "stopped" : "queued";
    case 6: return "http://h/x?a=1 -b";
    default: return input.ConsumeRandomLengthString(64);
  }
}

void check_record(FuzzedDataProvider& input) {
  std::string text;
  int count = input.ConsumeIntegralInRange(0, 7);
  for (int i = 0; i < count; ++i) text += line(input, size_t(i)) + "\n";
  // Cut short, or with more than a writer ever puts.
  if (input.ConsumeBool()) text.resize(input.ConsumeIntegralInRange<size_t>(0, text.size()));
  text += input.ConsumeRemainingBytesAsString();

  std::optional<JobRecord> found = read_record(text);
  std::optional<JobRecord> expected = model(text);
  KIV_CHECK(found.has_value() == expected.has_value() && (!found || same(*found, *expected)),
            "read " + described(found) + ", the model says " + described(expected) +
                "\nrecord " + shown(text));

  JobRecord lenient = parse_record(text);
  KIV_CHECK(lenient.pid.size() <= kPidTextLength && lenient.source.size() <= kRecordLineLength &&
                lenient.options.size() <= kRecordLineLength &&
                (!lenient.folder || lenient.folder->size() <= kRecordLineLength),
            "a field over its width: " + described(lenient) + "\nrecord " + shown(text));
  KIV_CHECK(!found || same(lenient, *found),
            "the lenient reader gives " + described(lenient) + ", the whole one " +
                described(found) + "\nrecord " + shown(text));
  if (found) {
    std::optional<JobRecord> back = read_record(record_text(*found));
    KIV_CHECK(back && same(*back, *found), "written back, it reads " + described(back) +
                                               " for " + described(found));
  }
}

}  // namespace
}  // namespace kiv::fuzz

KIV_FUZZ_TARGET(kiv::fuzz::check_record)
