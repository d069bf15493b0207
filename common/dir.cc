#include "common/dir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "common/file.h"

namespace kiv {

int dir_filter(const struct dirent* entry) {
  const char* name = entry->d_name;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
  return 1;
}

namespace {

struct Closer {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, Closer>;

/// Calls `add` with each name `filter` selects; false (errno set) on a read
/// error or when `add` refuses.
template <typename Add>
bool read_entries(const DirStream& dir, EntryFilter filter, Add add) {
  if (!dir) return false;
  errno = 0;
  while (const struct dirent* entry = readdir(dir.get())) {
    if (filter(entry) && !add(entry->d_name)) return false;
    errno = 0;
  }
  return errno == 0;
}

std::optional<std::vector<std::string>> scan(const DirStream& dir, ScanOrder order,
                                             EntryFilter filter) {
  std::vector<std::string> names;
  if (!read_entries(dir, filter, [&names](const char* name) {
        names.emplace_back(name);
        return true;
      }))
    return std::nullopt;
  if (order == ScanOrder::by_name) std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::optional<std::vector<std::string>> scan_directory(const std::string& path,
                                                       ScanOrder order, EntryFilter filter) {
  return scan(DirStream(opendir(path.c_str())), order, filter);
}

std::optional<std::vector<std::string>> scan_open_directory(int dir, ScanOrder order,
                                                            EntryFilter filter) {
  int copy = dup(dir);
  if (copy < 0) return std::nullopt;
  DirStream stream(fdopendir(copy));
  if (!stream) {
    int error = errno;
    close(copy);
    errno = error;
    return std::nullopt;
  }
  return scan(stream, order, filter);
}

std::string_view SortedNames::operator[](size_t i) const {
  return std::string_view(text_.c_str() + starts_[i]);
}

std::optional<SortedNames> scan_sorted_names(const std::string& path, EntryFilter filter) {
  SortedNames names;
  if (!read_entries(DirStream(opendir(path.c_str())), filter, [&names](const char* name) {
        if (names.text_.size() > UINT32_MAX - 256) {
          errno = EOVERFLOW;
          return false;
        }
        names.starts_.push_back(uint32_t(names.text_.size()));
        names.text_.append(name).push_back('\0');
        return true;
      }))
    return std::nullopt;
  const char* text = names.text_.c_str();
  std::sort(names.starts_.begin(), names.starts_.end(),
            [text](uint32_t a, uint32_t b) { return strcmp(text + a, text + b) < 0; });
  return names;
}

namespace {

int every_entry(const struct dirent* entry) {
  return strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0;
}

}  // namespace

void remove_tree(int parent, const std::string& name) {
  struct stat status;
  if (fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    // O_NOFOLLOW: a folder swapped for a link meanwhile is not entered.
    UniqueFd dir(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::optional<std::vector<std::string>> entries;
    if (dir.valid()) entries = scan_open_directory(dir.get(), ScanOrder::directory, every_entry);
    if (entries)
      for (const std::string& entry : *entries) remove_tree(dir.get(), entry);
  }
  unlinkat(parent, name.c_str(), S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0);
}

}  // namespace kiv
