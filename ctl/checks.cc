#include "ctl/checks.h"

#include <cerrno>
#include <cstring>

#include "common/config.h"
#include "common/response.h"
#include "common/temporary.h"

namespace kiv::ctl {

namespace {

[[noreturn]] void path_refused(PathMessage spelling, std::string_view detail) {
  message_answer(spelling == PathMessage::lower_case ? "filename error (contains /..)"
                                                     : "Filename error (contains /..)",
                 detail);
}

}  // namespace

void check_path(std::string_view path, PathMessage spelling) {
  if (path.find("/..") != std::string_view::npos) path_refused(spelling, path);
}

void check_reach(std::string_view name, Reach reach, PathMessage spelling,
                 std::string_view detail) {
  if (!resolves_inside(config().dnldir, name, reach)) path_refused(spelling, detail);
}

void check_inside(std::string_view name, std::string_view detail) {
  // As the path check, with the separator that joins the name put back.
  if (("/" + std::string(name)).find("/..") != std::string::npos)
    message_answer("Filename error (contains /..)", detail);
}

void check_not_lock_file(std::string_view name, std::string_view detail) {
  while (name.ends_with('/')) name.remove_suffix(1);
  std::string_view last = name.substr(name.rfind('/') + 1);
  // A temporary's name would have the file swept away as a leftover.
  if (last == kLockFileName || is_temporary_name(last))
    message_answer("Reserved file name:", detail);
}

std::string error_name(int error) {
  switch (error) {
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case ENOMEM: return "ENOMEM";
    case EACCES: return "EACCESS";
    case EFAULT: return "EFAULT";
    case EBUSY: return "EBUSY";
    case EEXIST:
    case ENOTEMPTY: return "ENOTEMPTY OR EEXIST";
    case EXDEV: return "EXDEV";
    case ENOTDIR: return "ENOTDIR";
    case EISDIR: return "EISDIR";
    case EINVAL: return "EINVAL";
    case ENOSPC: return "ENOSPC";
    case EROFS: return "EROFS";
    case EMLINK: return "EMLINK";
    case ENAMETOOLONG: return "ENAMETOOLONG";
    case ELOOP: return "ELOOP";
  }
  // Codes outside the table still get their symbolic name (EIO, EDQUOT...).
  if (const char* name = strerrorname_np(error)) return name;
  return "Error " + std::to_string(error);
}

void error_answer(int error, std::string_view path) {
  message_answer(error_name(error), path);
}

}  // namespace kiv::ctl
