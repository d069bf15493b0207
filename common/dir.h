#pragma once

#include <cstdint>
#include <dirent.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

/// Selection for a scan: every name but "." and "..".
int dir_filter(const struct dirent* entry);

enum class ScanOrder {
  directory,  // as the directory yields them
  by_name,    // ascending, byte-wise
};

using EntryFilter = int (*)(const struct dirent* entry);

/// The names in `path` that `filter` selects, or nothing (errno set) when
/// the directory cannot be read.
std::optional<std::vector<std::string>> scan_directory(const std::string& path,
                                                       ScanOrder order,
                                                       EntryFilter filter = dir_filter);

/// scan_directory of the open directory `dir`, read through a copy of the
/// descriptor: `dir` stays open and is not moved.
std::optional<std::vector<std::string>> scan_open_directory(int dir, ScanOrder order,
                                                            EntryFilter filter = dir_filter);

/// Removes `name` (relative to the open directory `parent`, or AT_FDCWD)
/// and everything below it, links not followed; what cannot be removed
/// stays.
void remove_tree(int parent, const std::string& name);

/// Names stored end to end in one block, in ascending byte-wise order: a
/// folder of ten thousand entries costs little more than its names (a
/// request has about 2 MiB on a small box).
class SortedNames {
 public:
  size_t size() const { return starts_.size(); }
  std::string_view operator[](size_t i) const;

 private:
  friend std::optional<SortedNames> scan_sorted_names(const std::string&, EntryFilter);
  std::string text_;            // each name followed by a zero byte
  std::vector<uint32_t> starts_;  // where each name begins, in order
};

/// scan_directory by name, into SortedNames.
std::optional<SortedNames> scan_sorted_names(const std::string& path,
                                             EntryFilter filter = dir_filter);

}  // namespace kiv
