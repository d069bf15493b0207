#include "common/inside.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "common/config.h"
#include "common/quote.h"
#include "common/response.h"
#include "common/temporary.h"

namespace kiv {
namespace {

/// Where a failed resolution leaves a path.
Verdict failure_verdict(int error) {
  if (error == ELOOP) return Verdict::loop;
  if (error == ENAMETOOLONG) return Verdict::too_long;
  return Verdict::outside;
}

struct Resolved {
  std::string real;  // empty when `failure` says why there is none
  Verdict failure = Verdict::inside;
};

/// The real path of `path`, or of its deepest existing ancestor when its
/// last components do not exist yet (they are then no links).
Resolved resolve_existing(std::string path) {
  for (;;) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) return {resolved};
    int error = errno;
    // Anything but "missing" (a loop, no permission) cannot be judged.
    if (error != ENOENT && error != ENOTDIR) return {"", failure_verdict(error)};
    // Judged without a "/" at its end: before a file it only makes the
    // command fail.
    if (path.size() > 1 && path.back() == '/') {
      while (path.size() > 1 && path.back() == '/') path.pop_back();
      continue;
    }
    // Present but not resolvable: a link that leads nowhere.
    struct stat status;
    if (lstat(path.c_str(), &status) == 0) return {"", Verdict::outside};
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || std::string_view(path).substr(slash + 1) == "..")
      return {"", Verdict::outside};
    path.resize(slash == 0 ? 1 : slash);
  }
}

/// The first component of `path` longer than kMaxComponentLength, if any.
std::string_view long_component(std::string_view path) {
  size_t at = 0;
  while (at < path.size()) {
    size_t end = std::min(path.find('/', at), path.size());
    if (end - at > kMaxComponentLength) return path.substr(at, end - at);
    at = end + 1;
  }
  return {};
}

}  // namespace

Verdict judge_path(const std::string& root, std::string_view relative, Reach reach) {
  if (!long_component(relative).empty()) return Verdict::too_long;
  char resolved[PATH_MAX];
  if (!realpath(root.c_str(), resolved)) return Verdict::outside;
  std::string real_root = resolved;
  std::string path = root + std::string(relative);
  if (reach == Reach::entry && !path.ends_with('/')) {
    std::string_view last = std::string_view(path).substr(path.rfind('/') + 1);
    // "." and ".." name the folder itself or the one above it.
    if (last == "." || last == "..") return Verdict::outside;
    path.resize(path.rfind('/') + 1);
  }
  Resolved resolved_path = resolve_existing(path);
  if (resolved_path.failure != Verdict::inside) return resolved_path.failure;
  const std::string& real = resolved_path.real;
  if (real == real_root || real_root == "/" || real.starts_with(real_root + "/"))
    return Verdict::inside;
  return Verdict::outside;
}

bool resolves_inside(const std::string& root, std::string_view relative, Reach reach) {
  return judge_path(root, relative, reach) == Verdict::inside;
}

Verdict judge_torrent_path(const std::string& root, std::string_view path) {
  if (path.empty() || path.starts_with('/') || name_leads_up(path)) return Verdict::outside;
  return judge_path(root, path, Reach::through);
}

bool contains_dot_dot(std::string_view path) { return path.find("/..") != std::string_view::npos; }

bool name_leads_up(std::string_view name) {
  return name.starts_with("..") || contains_dot_dot(name);
}

bool is_reserved_name(std::string_view name) {
  while (name.ends_with('/')) name.remove_suffix(1);
  std::string_view last = name.substr(name.rfind('/') + 1);
  return last == kLockFileName || is_temporary_name(last);
}

void path_refused(PathMessage spelling, std::string_view detail) {
  message_answer(spelling == PathMessage::lower_case ? "filename error (contains /..)"
                                                     : "Filename error (contains /..)",
                 detail);
}

void check_path(std::string_view path, PathMessage spelling) {
  if (contains_dot_dot(path)) path_refused(spelling, path);
}

void check_inside(std::string_view name, std::string_view detail) {
  if (name_leads_up(name)) path_refused(PathMessage::capitalised, detail);
}

void check_reach(std::string_view name, Reach reach, PathMessage spelling,
                 std::string_view detail) {
  switch (judge_path(config().dnldir, name, reach)) {
    case Verdict::inside: return;
    case Verdict::outside: path_refused(spelling, detail);
    case Verdict::loop: message_answer(strerrorname_np(ELOOP), detail);
    case Verdict::too_long: break;
  }
  std::string_view component = long_component(name);
  if (component.empty()) message_answer(strerrorname_np(ENAMETOOLONG), detail);
  refuse_longer_than(kNameTooLong, "name", component, kMaxComponentLength);
}

void check_not_lock_file(std::string_view name, std::string_view detail) {
  if (is_reserved_name(name)) message_answer("Reserved file name:", detail);
}

}  // namespace kiv
