#include "common/dir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace kiv {

std::string dir_pattern;

int dir_filter(const struct dirent* entry) {
  const char* name = entry->d_name;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
  return dir_pattern.empty() || strstr(name, dir_pattern.c_str()) != nullptr;
}

std::optional<std::vector<std::string>> scan_directory(const std::string& path,
                                                       ScanOrder order, EntryFilter filter) {
  struct Closer {
    void operator()(DIR* dir) const { closedir(dir); }
  };
  std::unique_ptr<DIR, Closer> dir(opendir(path.c_str()));
  if (!dir) return std::nullopt;
  std::vector<std::string> names;
  errno = 0;
  while (const struct dirent* entry = readdir(dir.get())) {
    if (filter(entry)) names.emplace_back(entry->d_name);
    errno = 0;
  }
  if (errno != 0) return std::nullopt;
  if (order == ScanOrder::by_name) std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kiv
