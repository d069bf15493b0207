#pragma once

#include <string>
#include <string_view>

// Whether a path below a directory stays there once links are followed.
namespace kiv {

enum class Reach {
  // The path is read or written through: every link on it is followed.
  through,
  // The entry itself is acted on (removed, renamed, made): a link as its
  // last component is not followed, so only the folder holding it must be
  // inside. A trailing "/" makes the kernel follow it: then as `through`.
  entry,
};

/// True when `root` + `relative` (joined as they are; `root` ends with "/")
/// resolves inside the real path of `root`, which may itself be a link.
/// What does not exist yet is judged by its deepest existing ancestor, so
/// a target about to be made passes; a ".." among the missing components,
/// a dangling link on the way or an unresolvable `root` does not.
bool resolves_inside(const std::string& root, std::string_view relative, Reach reach);

}  // namespace kiv
