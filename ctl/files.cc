#include "ctl/files.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/quote.h"
#include "common/response.h"
#include "common/shell.h"
#include "ctl/checks.h"

namespace kiv::ctl {
namespace {

/// The entries of the open directory `dir` except "." and "..", or nothing
/// when it cannot be read.
struct CloseDir {
  void operator()(DIR* stream) const { closedir(stream); }
};

std::optional<std::vector<std::string>> entry_names(int dir) {
  UniqueFd copy(dup(dir));
  if (!copy.valid()) return std::nullopt;
  std::unique_ptr<DIR, CloseDir> stream(fdopendir(copy.get()));
  if (!stream) return std::nullopt;
  copy.release();
  dir_pattern.clear();
  std::vector<std::string> names;
  errno = 0;
  while (const struct dirent* entry = readdir(stream.get())) {
    if (dir_filter(entry)) names.emplace_back(entry->d_name);
    errno = 0;
  }
  if (errno != 0) return std::nullopt;
  return names;
}

/// The download directory joined to `name`, quoted for the shell. Each part
/// is escaped on its own, so the length limit applies to the name itself.
std::string quoted_download_path(std::string_view name) {
  return "\"" + escape_shell_double(config().dnldir) + escape_shell_double(name) + "\"";
}

// As dirname(3) and basename(3), without their writes into the argument.
std::string last_component(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty()) return ".";
  if (path == "/") return "/";
  return std::string(path.substr(path.rfind('/') + 1));
}

std::string directory_part(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  path = path.substr(0, slash);
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path.empty() ? "/" : std::string(path);
}

bool exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

/// Removes `name` (relative to `parent`) and everything below it, links not
/// followed; what cannot be removed stays. Clears up after a failed tool.
void remove_quietly(int parent, const std::string& name) {
  struct stat status;
  if (fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    UniqueFd dir(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::optional<std::vector<std::string>> entries;
    if (dir.valid()) entries = entry_names(dir.get());
    if (entries)
      for (const std::string& entry : *entries) remove_quietly(dir.get(), entry);
  }
  unlinkat(parent, name.c_str(), S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0);
}

/// Ends the request with what a failed tool said on its error stream.
[[noreturn]] void tool_failed(const ShellResult& result, std::string_view tool,
                              const std::string& name) {
  if (result.output.empty()) message_answer(std::string(tool) + " failed:", name);
  message_answer(result.output, "");
}

/// Copies the file `file` (relative to the download directory) over the
/// existing regular file `target` through a temporary name beside it: cp
/// writes over a file in place, so a failure (a full disk) would leave the
/// user's file cut. The old file's mode is kept, as cp keeps it.
void copy_over_file(const std::string& file, const std::string& target, mode_t mode) {
  const std::string& root = config().dnldir;
  std::string temporary = target.substr(0, target.rfind('/') + 1) + ".kiv-copy-XXXXXX";
  UniqueFd made(mkstemp(temporary.data()));
  if (!made.valid()) error_answer(errno, temporary);
  ShellResult copied = run_shell_status("cp " + quoted_download_path(file) + " " +
                                        quoted_download_path(temporary.substr(root.size())));
  if (!copied.succeeded()) {
    unlink(temporary.c_str());
    tool_failed(copied, "cp", target);
  }
  if (fchmod(made.get(), mode & 07777) != 0 || rename(temporary.c_str(), target.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    error_answer(error, target);
  }
}

}  // namespace

void my_remove(const std::string& name, int parent) {
  struct stat status;
  if (fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
    error_answer(errno, name);
  if (!S_ISDIR(status.st_mode)) {
    if (unlinkat(parent, name.c_str(), 0) != 0) error_answer(errno, name);
    return;
  }
  {
    // O_NOFOLLOW: a directory swapped for a link meanwhile is not entered.
    UniqueFd dir(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::optional<std::vector<std::string>> entries;
    if (dir.valid()) entries = entry_names(dir.get());
    if (!entries) message_answer("my_remove error: ", name);
    for (const std::string& entry : *entries) my_remove(entry, dir.get());
  }
  if (unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) error_answer(errno, name);
}

void rem_command(const std::string& file, const std::string&) {
  std::string path = config().dnldir + file;
  check_path(path, PathMessage::lower_case);
  // An empty name, "." or "/" would empty the whole download directory.
  if (file.find_first_not_of("./") == std::string::npos)
    message_answer("Cannot remove the download directory:", path);
  my_remove(path, AT_FDCWD);
}

void rename_command(const std::string& file, const std::string& para) {
  // The old path keeps the described rule: it is not checked.
  check_inside(para, para);
  check_not_lock_file(para, para);
  std::string from = config().dnldir + file;
  std::string to = config().dnldir + para;
  struct stat status;
  if (stat(from.c_str(), &status) != 0) message_answer("File not found:", from);
  if (rename(from.c_str(), to.c_str()) != 0) error_answer(errno, from);
}

void copy_command(const std::string& file, const std::string& para) {
  std::string source = config().dnldir + file;
  std::string target = config().dnldir + para;
  check_inside(para, target);
  check_not_lock_file(para, target);
  struct stat status;
  bool directory = stat(source.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  // What cp makes: the target, or the source's name inside a target that is
  // a directory. Only that, and only when it is new, is removed on failure.
  std::string made = target;
  if (stat(target.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    made = target + "/" + last_component(source);
    check_not_lock_file(made, made);
  }
  struct stat old, from;
  if (!directory && lstat(made.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
      stat(source.c_str(), &from) == 0 && (from.st_dev != old.st_dev || from.st_ino != old.st_ino))
    return copy_over_file(file, made, old.st_mode);
  bool existed = exists(made);
  ShellResult copied =
      run_shell_status(std::string("cp ") + (directory ? "-R" : "") + " " +
                       quoted_download_path(file) + " " + quoted_download_path(para));
  if (copied.succeeded()) return;
  if (!existed) remove_quietly(AT_FDCWD, made);
  tool_failed(copied, "cp", target);
}

void mkdir_command(const std::string& file, const std::string&) {
  std::string path = config().dnldir + file;
  check_inside(file, path);
  check_not_lock_file(file, path);
  if (mkdir(path.c_str(), 0777) != 0) error_answer(errno, path);
}

void targz_command(const std::string& file, const std::string&) {
  std::string name = last_component(file);
  // These would pack the whole directory above, or the whole machine.
  if (name == "/" || name == "." || name == "..") message_answer("Nothing to pack:", file);
  // The archive lands beside the entry.
  check_inside(file, config().dnldir + file);
  std::string directory = config().dnldir + directory_part(file);
  if (chdir(directory.c_str()) != 0) error_answer(errno, directory);
  std::string escaped = escape_shell_double(name);
  // A leading "-" would make tar and gzip read the name as options.
  if (name.front() == '-') escaped = "./" + escaped;
  // Names relative to the directory just entered; what existed before is
  // never removed, whatever fails.
  std::string tar = name + ".tar", gz = tar + ".gz";
  bool tar_existed = exists(tar), gz_existed = exists(gz);
  // tar's listing of what it packs is not wanted, only its complaints.
  ShellResult packed = run_shell_status("tar cvf \"" + escaped + ".tar\" \"" + escaped + "\"",
                                        ShellStreams::errors_only);
  if (!packed.succeeded()) {
    if (!tar_existed) remove_quietly(AT_FDCWD, tar);
    tool_failed(packed, "tar", file);
  }
  ShellResult compressed = run_shell_status("gzip \"" + escaped + ".tar\"");
  if (!compressed.succeeded()) {
    if (!gz_existed) remove_quietly(AT_FDCWD, gz);
    if (!tar_existed) remove_quietly(AT_FDCWD, tar);
    tool_failed(compressed, "gzip", file);
  }
}

void disk_command(const std::string&, const std::string&) {
  message_answer(run_shell("df -k \"" + escape_shell_double(config().dnldir) + "\""), "");
}

}  // namespace kiv::ctl
