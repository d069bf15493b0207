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

/// Ends the request with what a failed tool said on its error stream.
[[noreturn]] void tool_failed(const ShellResult& result, std::string_view tool,
                              const std::string& name) {
  if (result.output.empty()) message_answer(std::string(tool) + " failed:", name);
  message_answer(result.output, "");
}

/// `text` with every `from` replaced by `to`.
std::string replaced(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

/// Copies `source` to `made` through a temporary beside it, which takes the
/// name `made` only once whole: cp writes over a file in place and fills a
/// folder bit by bit, so a failure (a full disk) or the request's end would
/// leave a cut file or half a folder under the name. A file replaces what
/// is there; a folder takes only a free name. The result gets `mode`.
void copy_through_temporary(const std::string& source, const std::string& made, mode_t mode,
                            TemporaryForm form) {
  remove_stale_temporaries(directory_part(made));
  Temporary temporary(made, TemporaryKind::copy, form);
  if (!temporary.valid()) error_answer(errno, made);
  std::vector<std::string> cp = {"cp", "--", source, temporary.path()};
  // A folder's content goes into the temporary itself (-T); a source named
  // by a link is the folder the link leads to (-H).
  if (form == TemporaryForm::folder) cp.insert(cp.begin() + 1, {"-R", "-H", "-T"});
  ShellResult copied = run_programs(std::span(&cp, 1));
  if (!copied.succeeded()) {
    temporary.discard();
    // The user knows the name asked for, not the temporary one.
    copied.output = replaced(copied.output, temporary.path(), made);
    tool_failed(copied, "cp", made);
  }
  if (fchmod(temporary.fd(), mode & 07777) != 0 ||
      !temporary.keep_as(made, form == TemporaryForm::file ? Temporary::Existing::replace
                                                           : Temporary::Existing::keep)) {
    int error = errno;
    temporary.discard();
    error_answer(error, made);
  }
}

}  // namespace

/// Removes `name` (a path, or an entry name relative to `parent`, a
/// directory descriptor or AT_FDCWD) and, for a directory, everything below
/// it, depth first. A symbolic link is removed itself, never followed. The
/// first failure ends the request with the error name and `name`.
static void my_remove(const std::string& name, int parent) {
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
  struct stat from {};
  bool found = stat(source.c_str(), &from) == 0;
  bool directory = found && S_ISDIR(from.st_mode);
  // What cp makes: the target, or the source's name inside a target that is
  // a directory. Only that, and only when it is new, is removed on failure.
  // A folder copied to "B/" is made as B, as with cp.
  std::string bare_target = target.substr(0, target.find_last_not_of('/') + 1);
  std::string made = directory ? bare_target : target;
  struct stat status;
  if (stat(target.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    made = bare_target + "/" + last_component(source);
    check_not_lock_file(made, made);
    check_reach(para + "/" + last_component(source), Reach::through, PathMessage::capitalised,
                made);
  }
  struct stat old;
  bool existed = lstat(made.c_str(), &old) == 0;
  // Anything new gets the source's mode less the umask, as with cp.
  mode_t mask = umask(0);
  umask(mask);
  mode_t new_mode = from.st_mode & 0777 & ~mask;
  // A folder is never merged into what has its name: the user's files there
  // stay as they are, and nothing is written through links in that tree.
  if (directory) {
    if (existed) error_answer(EEXIST, made);
    return copy_through_temporary(source, made, new_mode, TemporaryForm::folder);
  }
  // A file goes through a temporary one, new or over a plain file (not onto
  // itself: cp refuses that); an old file keeps its mode, as with cp.
  bool itself = existed && from.st_dev == old.st_dev && from.st_ino == old.st_ino;
  if (found && (!existed || (S_ISREG(old.st_mode) && !itself)))
    return copy_through_temporary(source, made, existed ? old.st_mode : new_mode,
                                  TemporaryForm::file);
  const std::vector<std::string> cp[] = {{"cp", "--", source, target}};
  ShellResult copied = run_programs(cp);
  if (copied.succeeded()) return;
  if (!existed) remove_tree(AT_FDCWD, made);
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
