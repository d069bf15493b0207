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
#include "common/path.h"
#include "common/quote.h"
#include "common/response.h"
#include "common/shell.h"
#include "common/temporary.h"
#include "ctl/checks.h"

namespace kiv::ctl {
namespace {

/// The entries of the open directory `dir` except "." and "..", or nothing
/// when it cannot be read.
std::optional<std::vector<std::string>> entry_names(int dir) {
  return scan_open_directory(dir, ScanOrder::directory);
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

/// Copies the non-directory `source` to `made` through a temporary file
/// beside it, which takes the name `made` only once whole: cp writes over a
/// file in place, so a failure (a full disk) or the request's end would
/// leave the user's file cut. The result gets `mode`.
void copy_through_temporary(const std::string& source, const std::string& made, mode_t mode) {
  remove_stale_temporaries(directory_part(made));
  Temporary temporary(made, TemporaryKind::copy);
  if (!temporary.valid()) error_answer(errno, made);
  const std::vector<std::string> cp[] = {{"cp", "--", source, temporary.path()}};
  ShellResult copied = run_programs(cp);
  if (!copied.succeeded()) {
    temporary.discard();
    tool_failed(copied, "cp", made);
  }
  if (fchmod(temporary.fd(), mode & 07777) != 0 ||
      !temporary.keep_as(made, Temporary::Existing::replace)) {
    int error = errno;
    temporary.discard();
    error_answer(error, made);
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
  check_reach(file, Reach::entry, PathMessage::lower_case, path);
  my_remove(path, AT_FDCWD);
}

void rename_command(const std::string& file, const std::string& para) {
  check_inside(para, para);
  check_not_lock_file(para, para);
  std::string from = config().dnldir + file;
  std::string to = config().dnldir + para;
  check_inside(file, from);
  check_reach(file, Reach::entry, PathMessage::capitalised, from);
  check_reach(para, Reach::entry, PathMessage::capitalised, para);
  struct stat status;
  if (stat(from.c_str(), &status) != 0) message_answer("File not found:", from);
  if (rename(from.c_str(), to.c_str()) != 0) error_answer(errno, from);
}

void copy_command(const std::string& file, const std::string& para) {
  refuse_long_name(file);
  refuse_long_name(para);
  std::string source = config().dnldir + file;
  std::string target = config().dnldir + para;
  check_inside(para, target);
  check_not_lock_file(para, target);
  check_inside(file, source);
  // cp reads through links, and writes through a link it finds as target.
  check_reach(file, Reach::through, PathMessage::capitalised, source);
  check_reach(para, Reach::through, PathMessage::capitalised, target);
  struct stat from;
  bool found = stat(source.c_str(), &from) == 0;
  bool directory = found && S_ISDIR(from.st_mode);
  // What cp makes: the target, or the source's name inside a target that is
  // a directory. Only that, and only when it is new, is removed on failure.
  std::string made = target;
  struct stat status;
  if (stat(target.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    made = target + "/" + last_component(source);
    check_not_lock_file(made, made);
    check_reach(para + "/" + last_component(source), Reach::through, PathMessage::capitalised,
                made);
  }
  struct stat old;
  bool existed = lstat(made.c_str(), &old) == 0;
  // A file goes through a temporary one, new or over a plain file (not onto
  // itself: cp refuses that). A new file gets the source's mode less the
  // umask, an old one keeps its mode, as with cp.
  bool itself = existed && from.st_dev == old.st_dev && from.st_ino == old.st_ino;
  if (found && !directory && (!existed || (S_ISREG(old.st_mode) && !itself))) {
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = existed ? old.st_mode : from.st_mode & 0777 & ~mask;
    return copy_through_temporary(source, made, mode);
  }
  std::vector<std::string> cp = {"cp", "--", source, target};
  if (directory) cp.insert(cp.begin() + 1, "-R");
  ShellResult copied = run_programs(std::span(&cp, 1));
  if (copied.succeeded()) return;
  if (!existed) remove_quietly(AT_FDCWD, made);
  tool_failed(copied, "cp", target);
}

void mkdir_command(const std::string& file, const std::string&) {
  std::string path = config().dnldir + file;
  check_inside(file, path);
  check_not_lock_file(file, path);
  check_reach(file, Reach::entry, PathMessage::capitalised, path);
  if (mkdir(path.c_str(), 0777) != 0) error_answer(errno, path);
}

void targz_command(const std::string& file, const std::string&) {
  refuse_long_name(file);
  std::string name = last_component(file);
  // These would pack the whole directory above, or the whole machine.
  if (name == "/" || name == "." || name == "..") message_answer("Nothing to pack:", file);
  // The archive lands beside the entry.
  check_inside(file, config().dnldir + file);
  check_reach(file, Reach::through, PathMessage::capitalised, config().dnldir + file);
  std::string directory = config().dnldir + directory_part(file);
  if (chdir(directory.c_str()) != 0) error_answer(errno, directory);
  std::string archive = name + ".tar.gz";
  std::string shown = directory_part(file) == "." ? config().dnldir + archive
                                                  : directory + "/" + archive;
  // An archive already there is the user's (or a pack of the same entry
  // that just ended): never replaced.
  if (exists(archive)) message_answer("Archive exists already:", shown);
  remove_stale_temporaries(".");
  Temporary temporary(archive, TemporaryKind::pack);
  if (!temporary.valid()) error_answer(errno, shown);
  // The entry exactly as named: no unquoting of backslashes by tar, no
  // option in a leading "-".
  const std::vector<std::string> pack[] = {{"tar", "--no-unquote", "-cf", "-", "--", name},
                                           {"gzip", "-c"}};
  ShellResult packed = run_programs(pack, temporary.fd());
  if (!packed.succeeded()) {
    temporary.discard();
    tool_failed(packed, "tar", file);
  }
  if (!temporary.keep_as(archive, Temporary::Existing::keep)) {
    int error = errno;
    temporary.discard();
    if (error == EEXIST) message_answer("Archive exists already:", shown);
    error_answer(error, shown);
  }
}

void disk_command(const std::string&, const std::string&) {
  message_answer(run_shell("df -k " + shell_word(config().dnldir)), "");
}

}  // namespace kiv::ctl
