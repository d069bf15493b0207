#include "common/dir.h"

#include <algorithm>
#include <cstdlib>
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
  struct dirent** entries = nullptr;
  int count = scandir(path.c_str(), &entries, filter, nullptr);
  if (count < 0) return std::nullopt;
  std::unique_ptr<struct dirent*, decltype(&free)> owner(entries, &free);
  std::vector<std::string> names;
  names.reserve(size_t(count));
  for (int i = 0; i < count; ++i) {
    names.emplace_back(entries[i]->d_name);
    free(entries[i]);
  }
  if (order == ScanOrder::by_name) std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kiv
