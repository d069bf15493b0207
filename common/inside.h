#pragma once

#include <string>
#include <string_view>

// Every rule on where a path from a request may lead, and the answers that
// refuse one: the programs of the download directory share them.
namespace kiv {

enum class Reach {
  // The path is read or written through: every link on it is followed.
  through,
  // The entry itself is acted on (removed, renamed, made): a link as its
  // last component is not followed, so only the folder holding it must be
  // inside. A trailing "/" makes the kernel follow it: then as `through`.
  entry,
};

/// Where a path leads, as far as it can be judged.
enum class Verdict {
  inside,
  outside,   // or cannot be judged: a dangling link on the way, no access
  loop,      // links that lead back into themselves (ELOOP)
  too_long,  // a component over kMaxComponentLength, or a resolution over PATH_MAX
};

/// Longest name of one entry the file systems take.
inline constexpr size_t kMaxComponentLength = 255;

/// The verdict on `root` + `relative` (joined as they are; `root` ends with
/// "/") against the real path of `root`, which may itself be a link. What
/// does not exist yet is judged by its deepest existing ancestor, so a
/// target about to be made passes; a ".." among the missing components, a
/// dangling link on the way or an unresolvable `root` does not.
Verdict judge_path(const std::string& root, std::string_view relative, Reach reach);

/// Whether judge_path finds `relative` inside.
bool resolves_inside(const std::string& root, std::string_view relative, Reach reach);

/// The verdict on a file a torrent names (its parts joined by "/", as the
/// tools join them, a part's own "/" included), to be made below `root`:
/// outside when it is absolute, empty or leads up (name_leads_up), or when
/// a link on the way leads out (judge_path). The tools follow links there,
/// and ctorrent resolves "a/../.." inside a part.
Verdict judge_torrent_path(const std::string& root, std::string_view path);

/// Whether `path` contains "/.." anywhere: a ".." component or a name
/// starting with "..". The design's path check, on a composed path.
bool contains_dot_dot(std::string_view path);

/// contains_dot_dot of a relative name with the separator that joins it
/// put back: ".." at its start counts too.
bool name_leads_up(std::string_view name);

/// The web server's lock file: no request makes a file of that name.
inline constexpr std::string_view kLockFileName = ".htpasswd";

/// Whether `name`'s last component is kLockFileName or has a temporary
/// file's form (common/temporary.h), which the sweep would take for a
/// leftover.
bool is_reserved_name(std::string_view name);

/// The two spellings of the path-check message: "del" and "rem" use the
/// lower-case one, the other commands the capitalised one.
enum class PathMessage { lower_case, capitalised };

/// Ends the request with the path-check message of `spelling` and `detail`.
[[noreturn]] void path_refused(PathMessage spelling, std::string_view detail);

/// Ends the request when `path` contains "/..", with the path as detail.
void check_path(std::string_view path, PathMessage spelling);

/// Ends the request with the capitalised path-check message and `detail`
/// when the relative name `name` leads up (name_leads_up).
void check_inside(std::string_view name, std::string_view detail);

/// Ends the request when `name`, relative to the download directory, does
/// not stay inside once links are followed: a link inside may not take a
/// request elsewhere. Outside: the path-check message of `spelling`; a
/// loop: the error name "ELOOP"; a component too long: "Filename too long
/// please shorten it: " with refuse_longer_than's detail on that component.
/// Otherwise the detail is `detail`.
void check_reach(std::string_view name, Reach reach, PathMessage spelling,
                 std::string_view detail);

/// Ends the request with "Reserved file name:" and `detail` when `name` is
/// reserved (is_reserved_name).
void check_not_lock_file(std::string_view name, std::string_view detail);

}  // namespace kiv
