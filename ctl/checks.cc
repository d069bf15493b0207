#include "ctl/checks.h"

#include <cerrno>
#include <cstring>

#include "common/response.h"

namespace kiv::ctl {

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
