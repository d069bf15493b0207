#include "list/listing.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "common/config.h"
#include "common/date.h"
#include "common/dir.h"
#include "common/inside.h"
#include "common/quote.h"
#include "common/request.h"
#include "common/response.h"
#include "common/text.h"

namespace kiv::list {
namespace {

/// One decimal, halves rounded up (1.25 -> "1.3"; printf alone rounds to even).
std::string one_decimal(double value, const char* unit) {
  char text[64];
  snprintf(text, sizeof text, "%.1f %s", std::floor(value * 10 + 0.5) / 10, unit);
  return text;
}

void append_entry(std::string_view name) {
  struct stat st;
  // An entry whose target is gone (a dangling link) is shown as itself.
  const char* path = name.data();  // ends with a zero byte
  if (stat(path, &st) != 0 && lstat(path, &st) != 0) st = {};
  std::string entry;
  entry.reserve(128);
  entry += "{file:'";
  entry += escape_script(name);
  entry += S_ISDIR(st.st_mode) ? "',type:'d',inode:" : "',type:'f',inode:";
  append_decimal(entry, st.st_ino);
  entry += ",size:'";
  entry += human_size(uint64_t(st.st_size));
  entry += "',date:'";
  entry += local_date(st.st_mtime);
  entry += "'}";
  out_append(entry);
}

}  // namespace

std::string human_size(uint64_t bytes) {
  if (bytes > 1073741824) return one_decimal(float(bytes) / 1073741824.0f, "G");
  if (bytes > 1048576) return one_decimal(float(bytes) / 1048576.0f, "M");
  if (bytes > 1024) return one_decimal(float(bytes) / 1024.0f, "K");
  std::string text;
  append_decimal(text, bytes);
  return text;
}

void print_download_listing() {
  const std::string& dnldir = config().dnldir;
  // Over its limit it is refused: listing a shorter path instead would
  // show another folder's files under this one's name.
  std::optional<std::string> curdir = form_field("curdir");
  std::string listed = dnldir + curdir.value_or("");

  std::optional<SortedNames> names;
  bool in_curdir = curdir && !contains_dot_dot(listed) &&
                   resolves_inside(dnldir, *curdir, Reach::through) &&
                   chdir(listed.c_str()) == 0;
  if (in_curdir) {
    names = scan_sorted_names(listed);
    // Removed since the chdir: answered as a directory that is not there.
    if (!names && (errno == ENOENT || errno == ENOTDIR)) in_curdir = false;
  }
  if (!in_curdir) {
    listed = dnldir;
    // The entries are looked up from here: from anywhere else they would
    // show other files' sizes and dates.
    if (chdir(listed.c_str()) == 0) names = scan_sorted_names(listed);
  }
  if (!names) message_answer("Can't scan download directory", listed);

  if (in_curdir) {
    out_append("curdir: '");
    out_append(escape_script(*curdir));
    out_append("',");
  } else {
    out_append("curdir: '/',");
  }
  out_append("dnl:[");
  // Nothing after the scan can fail: long listings go out as they grow.
  for (size_t i = names->size(); i-- > 0;) {
    append_entry((*names)[i]);
    if (i > 0) out_append(",");
    out_spill();
  }
  out_append("]");
}

void print_disk_usage() {
  struct statvfs fs;
  uint64_t size = 0, free_space = 0, available = 0;
  if (statvfs(config().dnldir.c_str(), &fs) == 0) {
    // Counts are in units of the fragment size, which is what the block
    // counts of statvfs are measured in.
    auto kibibytes = [&](uint64_t blocks) {
      return uint64_t(double(blocks) / 1024.0 * double(uint32_t(fs.f_frsize)));
    };
    size = kibibytes(fs.f_blocks);
    free_space = kibibytes(fs.f_bfree);
    available = kibibytes(fs.f_bavail);
  }
  uint64_t used = size - free_space;
  uint64_t usable = used + available;
  double percent = usable ? double(used) * 100.0 / double(usable) : 0.0;
  char text[160];
  snprintf(text, sizeof text, "disk:{size:%llu,used:%llu,available:%llu,perc:'%.0f%%'}",
           static_cast<unsigned long long>(size), static_cast<unsigned long long>(used),
           static_cast<unsigned long long>(available), std::floor(percent + 0.5));
  out_append(text);
}

}  // namespace kiv::list
