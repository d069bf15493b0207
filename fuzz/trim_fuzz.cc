// Log trimming: only job logs (".wgt", ".tor") ever change, a trimmed log
// is never longer than it was and keeps its first line, wget's first
// "Saving to:" line, the lines an aria2c job's state is read from, and a
// line of its final part; every other file, and
// whatever a link leads to, is left byte for byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "common/aria2_state.h"
#include "common/config.h"
#include "common/file_choice.h"
#include "common/file.h"
#include "common/job_record.h"
#include "common/log_end.h"
#include "common/wget_log.h"
#include "daemon/trim.h"
#include "fuzz/harness.h"

namespace kiv::fuzz {
namespace {

// What a job directory holds: logs, records, bit-field files, the lock's
// copy, the release notice, the eDonkey list, and odd names.
constexpr const char* kNames[] = {"a1b2c3.wgt", "d4e5f6.tor", "a1b2c3", "d4e5f6.bf",
                                  ".htpasswd",  "_wversion.nfo", "amule.amu", "x.wgt.old",
                                  "X.WGT",      ".wgt",          "long name.tor", "d4e5f6"};

std::string read_back(const std::string& path) {
  std::optional<std::string> text = read_file(path);
  return text ? *text : "<unreadable>";
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv::fuzz;
  FuzzedDataProvider input(data, size);
  std::string scratch = scratch_directory();
  std::string trkdir = scratch + "trk/";
  empty_directory(scratch);
  mkdir(trkdir.c_str(), 0755);
  kiv::config().trkdir = trkdir;

  // A file outside that a link named like a log leads to.
  std::string outside = scratch + "outside";
  std::string outside_text(600, 'o');
  outside_text[10] = '\n';
  std::map<std::string, std::string> before;
  if (!kiv::replace_file(outside, outside_text, 0644)) abort();
  if (input.ConsumeBool()) symlink(outside.c_str(), (trkdir + "link.wgt").c_str());
  if (input.ConsumeBool()) mkdir((trkdir + "dir.tor").c_str(), 0755);

  while (input.remaining_bytes() > 0) {
    std::string name = kNames[input.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
    size_t length = input.ConsumeIntegralInRange<size_t>(0, 4096);
    std::string text = input.ConsumeBytesAsString(length);
    // Long logs are the interesting ones: repeat what was given.
    int repeat = input.ConsumeIntegralInRange<int>(1, 8);
    std::string content;
    for (int i = 0; i < repeat; ++i) content += text;
    if (!kiv::replace_file(trkdir + name, content, 0644)) abort();
    before[name] = content;
  }

  int status = run_request(kiv::trim_job_logs);
  KIV_CHECK(status == -1, "trimming ended the process");

  KIV_CHECK(read_back(outside) == outside_text, "a link's target was changed");
  for (const auto& [name, old] : before) {
    std::string now = read_back(trkdir + name);
    bool log = kiv::is_job_log(name);
    KIV_CHECK(log || now == old, "not a job log, yet changed: " + name);
    KIV_CHECK(old.size() > kiv::kTrimThreshold || now == old, "small log changed: " + name);
    KIV_CHECK(now.size() <= old.size(), "trimmed longer: " + name);
    if (now == old) continue;
    // The first line as it was (one longer than the head buffer cut and
    // ended), then one line taken from the final part of the log.
    size_t newline = old.find('\n');
    std::string head = newline < kiv::kMaxHeadLength ? old.substr(0, newline + 1)
                                                     : old.substr(0, kiv::kMaxHeadLength - 1) + "\n";
    KIV_CHECK(now.starts_with(head), "first line lost: " + shown(now));
    std::string_view rest = std::string_view(now).substr(head.size());
    std::string_view tail = std::string_view(old).substr(old.size() - kiv::kTailRegion);
    // wget's first "Saving to:" line (a whole line, not too long) stays
    // after the first line: it names the file a restart continues.
    std::string saving;
    for (size_t at = 0, end; saving.empty() && (end = old.find('\n', at)) != std::string::npos;
         at = end + 1)
      if (old.compare(at, 11, "Saving to: ") == 0 && end + 1 - at <= kiv::kSavingLineLength)
        saving = old.substr(at, end + 1 - at);
    if (!saving.empty() && saving != head)
      KIV_CHECK(now.find(saving) != std::string::npos, "saved name lost: " + shown(now));
    // An aria2c job (its record names a magnet link) reads as before: the
    // lines telling its state in the part of its log a reader sees stay.
    auto record = before.find(kiv::record_of_log(name));
    if (record != before.end() &&
        kiv::engine_of(kiv::parse_record(record->second).source) == kiv::TorrentEngine::aria2c) {
      using Line = kiv::Aria2Line;
      std::string_view seen = old;
      seen.remove_prefix(old.size() - std::min(old.size(), kiv::kLogTailLength));
      std::vector<std::pair<std::string_view, Line>> lines;
      for (size_t at = seen.find('\n'), end;
           at != std::string::npos && (end = seen.find('\n', at + 1)) != std::string::npos;
           at = end)
        lines.emplace_back(seen.substr(at + 1, end - at),
                           kiv::aria2_line(seen.substr(at + 1, end - at - 1)));
      auto last_of = [&](std::initializer_list<Line> kinds) {
        for (size_t i = lines.size(); i-- > 0;)
          if (std::find(kinds.begin(), kinds.end(), lines[i].second) != kinds.end()) return i;
        return lines.size();
      };
      size_t readout = last_of({Line::readout, Line::sized_readout});
      size_t sized = last_of({Line::sized_readout}), error = last_of({Line::error});
      for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].second == Line::ending || i == readout || i == sized || i == error)
          KIV_CHECK(now.find(lines[i].first) != std::string::npos,
                    "aria2c's line lost: " + shown(std::string(lines[i].first)) + shown(now));
    }
    // Lines kept for readers (the saved name, the latest size and file
    // lines) are whole lines of the log; after them, the end of the log.
    while (tail.find(rest) == std::string_view::npos) {
      size_t end = rest.find('\n');
      KIV_CHECK(end != std::string_view::npos,
                "kept status line is not from the log's end: " + shown(now));
      std::string line = "\n" + std::string(rest.substr(0, end + 1));
      KIV_CHECK(old.starts_with(line.substr(1)) || old.find(line) != std::string::npos,
                "kept line is not one of the log's: " + shown(now));
      rest.remove_prefix(end + 1);
    }
  }
  return 0;
}
