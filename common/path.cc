#include "common/path.h"

namespace kiv {
namespace {

std::string_view without_trailing_slashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

std::string last_component(std::string_view path) {
  path = without_trailing_slashes(path);
  if (path.empty()) return ".";
  if (path == "/") return "/";
  return std::string(path.substr(path.rfind('/') + 1));
}

std::string directory_part(std::string_view path) {
  path = without_trailing_slashes(path);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  path = without_trailing_slashes(path.substr(0, slash));
  return path.empty() ? "/" : std::string(path);
}

}  // namespace kiv
