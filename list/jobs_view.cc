#include "list/jobs_view.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "common/config.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/job_record.h"
#include "common/process.h"
#include "common/quote.h"
#include "common/response.h"
#include "common/resumed.h"
#include "common/shell.h"
#include "common/text.h"

namespace kiv::list {

namespace {

/// When the job was added, in milliseconds since the epoch (so jobs added
/// together keep their order): the birth of its log, which no start, restart
/// or trim replaces. Where the file system keeps no birth time, the record's
/// last write (its last start) stands in.
std::optional<long long> added_time(const std::string& trkdir, const std::string& name) {
  struct statx log;
  if (statx(AT_FDCWD, (trkdir + name).c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &log) == 0 &&
      (log.stx_mask & STATX_BTIME))
    return log.stx_btime.tv_sec * 1000LL + log.stx_btime.tv_nsec / 1000000;
  std::string record = name;
  struct stat st;
  if (cut_at_last(record, '.') && lstat((trkdir + record).c_str(), &st) == 0)
    return st.st_mtim.tv_sec * 1000LL + st.st_mtim.tv_nsec / 1000000;
  return std::nullopt;
}

/// Whether the job behind the log `name` has a record that is there but
/// cannot be read whole (empty, cut short, unreadable): the job is shown
/// as failed for it, never left out or taken as stopped.
bool record_unreadable(const std::string& trkdir, std::string name) {
  if (!cut_at_last(name, '.')) return false;
  std::optional<std::string> text = read_file(trkdir + name);
  if (!text) return errno != ENOENT;
  return !read_record(*text);
}

}  // namespace

int print_job_list(const std::string& pattern) {
  const std::string& trkdir = config().trkdir;
  out_append(std::string_view(pattern).substr(1));
  out_append(":[");
  dir_pattern = pattern;
  auto names = scan_directory(trkdir, ScanOrder::directory);
  dir_pattern = "";
  if (!names) message_answer("Can't scan tracker directory:\n", trkdir);
  int running = 0;
  // Notices and the eDonkey list have no record.
  bool has_records = pattern != ".nfo" && pattern != ".amu";
  for (auto name = names->rbegin(); name != names->rend(); ++name) {
    std::string pid = transfer_pid(*name);
    if (!pid.empty()) ++running;
    if (name != names->rbegin()) out_append(",");
    out_append("{obj:\"");
    out_append(escape_script(*name, '"'));
    out_append("@");
    out_append(pid);
    out_append("\"");
    if (std::optional<long long> added = added_time(trkdir, *name))
      out_append(",added:" + std::to_string(*added));
    if (has_records && record_unreadable(trkdir, *name))
      out_append(",state:\"failed\",reason:\"record unreadable\"");
    out_append("}");
  }
  out_append("]");
  return running;
}

void print_job_members() {
  const char* amule = getenv("FORM_amule");
  if (amule && std::string_view(amule) == "true" && chdir(config().trkdir.c_str()) == 0)
    run_shell("amulecmd -c \"show dl\" > amule.amu");
  print_job_list(".nfo");
  out_append(",");
  print_job_list(".amu");
  out_append(",");
  int torrents = print_job_list(".tor");
  out_append(",");
  int wgets = print_job_list(".wgt");
  out_append(",");
  out_append("torrents:" + std::to_string(torrents) + ",wgets:" + std::to_string(wgets) + ",");
  // How many transfers kivd resumed at its last start, and when (ms).
  if (std::optional<ResumedNotice> resumed = read_resumed_notice())
    out_append("resumed:{count:" + std::to_string(resumed->count) +
               ",at:" + std::to_string(resumed->when * 1000LL) + "},");
}

}  // namespace kiv::list
