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

namespace {

struct Closer {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::optional<std::vector<std::string>> scan_directory(const std::string& path,
                                                       ScanOrder order, EntryFilter filter) {
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

std::string_view SortedNames::operator[](size_t i) const {
  return std::string_view(text_.c_str() + starts_[i]);
}

std::optional<SortedNames> scan_sorted_names(const std::string& path, EntryFilter filter) {
  std::unique_ptr<DIR, Closer> dir(opendir(path.c_str()));
  if (!dir) return std::nullopt;
  SortedNames names;
  errno = 0;
  while (const struct dirent* entry = readdir(dir.get())) {
    if (filter(entry)) {
      if (names.text_.size() > UINT32_MAX - 256) {
        errno = EOVERFLOW;
        return std::nullopt;
      }
      names.starts_.push_back(uint32_t(names.text_.size()));
      names.text_.append(entry->d_name).push_back('\0');
    }
    errno = 0;
  }
  if (errno != 0) return std::nullopt;
  const char* text = names.text_.c_str();
  std::sort(names.starts_.begin(), names.starts_.end(),
            [text](uint32_t a, uint32_t b) { return strcmp(text + a, text + b) < 0; });
  return names;
}

}  // namespace kiv
