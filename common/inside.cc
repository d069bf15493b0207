#include "common/inside.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <sys/stat.h>

namespace kiv {
namespace {

std::optional<std::string> real_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) return std::nullopt;
  return std::string(resolved);
}

/// The real path of `path`, or of its deepest existing ancestor when its
/// last components do not exist yet (they are then no links).
std::optional<std::string> resolve_existing(std::string path) {
  for (;;) {
    if (std::optional<std::string> real = real_path(path)) return real;
    struct stat status;
    // Anything but "missing" (a loop, no permission), or present but not
    // resolvable (a dangling link): cannot be judged, so not inside.
    if ((errno != ENOENT && errno != ENOTDIR) || lstat(path.c_str(), &status) == 0)
      return std::nullopt;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    std::string_view missing = std::string_view(path).substr(slash + 1);
    if (missing == "..") return std::nullopt;
    path.resize(slash == 0 ? 1 : slash);
  }
}

}  // namespace

bool resolves_inside(const std::string& root, std::string_view relative, Reach reach) {
  std::optional<std::string> real_root = real_path(root);
  if (!real_root) return false;
  std::string path = root + std::string(relative);
  if (reach == Reach::entry && !path.ends_with('/')) {
    std::string_view last = std::string_view(path).substr(path.rfind('/') + 1);
    // "." and ".." name the folder itself or the one above it.
    if (last == "." || last == "..") return false;
    path.resize(path.rfind('/') + 1);
  }
  std::optional<std::string> real = resolve_existing(path);
  if (!real) return false;
  if (*real == *real_root || *real_root == "/") return true;
  return real->starts_with(*real_root + "/");
}

}  // namespace kiv
