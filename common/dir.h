#pragma once

#include <dirent.h>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

/// Name fragment that dir_filter selects by; empty selects every name.
/// Set it before each scan.
extern std::string dir_pattern;

/// Selection for scandir: never "." or ".."; otherwise names containing
/// dir_pattern (case-sensitive), or all names when it is empty.
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

}  // namespace kiv
