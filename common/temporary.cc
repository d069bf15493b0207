#include "common/temporary.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <limits>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/dir.h"
#include "common/process.h"

namespace kiv {
namespace {

constexpr std::array<std::string_view, 3> kInfixes = {".upload-", ".copy-", ".pack-"};
constexpr size_t kRandom = 6;  // the XXXXXX of mkstemp

/// Directories nftw keeps open at once while it sweeps.
constexpr int kSweepDescriptors = 16;

int temporary_filter(const struct dirent* entry) { return is_temporary_name(entry->d_name); }

/// Whether the temporary name `name` is that of a folder copy, the only
/// temporaries that are folders.
bool names_folder_copy(std::string_view name) {
  return name.substr(0, name.size() - kRandom).ends_with(kInfixes[size_t(TemporaryKind::copy)]);
}

/// Removes the temporary at `path` when it is a plain file (or a folder
/// copy's folder) last written before `before` that no request holds
/// (hold_temporary).
void remove_if_left_over(const std::string& path, time_t before) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  bool folder_copy = names_folder_copy(path.substr(path.rfind('/') + 1));
  if (!fd.valid() || fstat(fd.get(), &st) != 0 ||
      !((S_ISREG(st.st_mode) && st.st_nlink == 1) || (S_ISDIR(st.st_mode) && folder_copy)) ||
      st.st_mtime >= before || flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
    return;
  // Still the file just looked at, not one made since under its name.
  struct stat now;
  if (lstat(path.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev)
    remove_tree(AT_FDCWD, path);
}

int sweep_entry(const char* path, const struct stat* st, int type, struct FTW* at) {
  // A folder removed here is still open to the walk, which finds it empty.
  if (((type == FTW_F && S_ISREG(st->st_mode)) || type == FTW_D) &&
      is_temporary_name(path + at->base))
    remove_if_left_over(path, std::numeric_limits<time_t>::max());
  return 0;  // a folder that cannot be read is skipped, the sweep goes on
}

/// Renames without replacing. Older kernels know no such flag: there the
/// check comes just before the rename.
int rename_no_replace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  struct stat status;
  if (lstat(to, &status) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from, to);
}

/// The keeper: waits until every holder of the lifeline's other end has
/// ended, then removes `name` in `directory` unless told it was kept.
[[noreturn]] void keep_watch(int lifeline, int directory, const std::string& name) {
  setsid();  // out of the signals sent to the request's process group
  char told = 0;
  for (;;) {
    char byte;
    ssize_t n = recv(lifeline, &byte, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    told = byte;
  }
  if (told != 'k') remove_tree(directory, name);
  _exit(0);
}

}  // namespace

std::string temporary_template(std::string_view name, TemporaryKind kind) {
  std::string_view infix = kInfixes[size_t(kind)];
  return "." + std::string(name.substr(0, NAME_MAX - 1 - infix.size() - kRandom)) +
         std::string(infix) + "XXXXXX";
}

bool is_temporary_name(std::string_view name) {
  if (name.size() <= 1 + kRandom || name.front() != '.') return false;
  for (char c : name.substr(name.size() - kRandom))
    if (!isalnum(static_cast<unsigned char>(c))) return false;
  std::string_view rest = name.substr(1, name.size() - 1 - kRandom);
  for (std::string_view infix : kInfixes)
    if (rest.size() > infix.size() && rest.ends_with(infix)) return true;
  return false;
}

void remove_stale_temporaries(const std::string& directory) {
  auto names = scan_directory(directory, ScanOrder::directory, temporary_filter);
  if (!names) return;
  time_t now = time(nullptr);
  for (const std::string& name : *names)
    remove_if_left_over(directory + "/" + name, now - kStaleTemporarySeconds);
}

void remove_leftover_temporaries(const std::string& root) {
  nftw(root.c_str(), sweep_entry, kSweepDescriptors, FTW_PHYS);
}

void hold_temporary(int fd) { flock(fd, LOCK_EX | LOCK_NB); }

Temporary::Temporary(const std::string& path, TemporaryKind kind, TemporaryForm form) {
  size_t slash = path.rfind('/') + 1;  // npos + 1 == 0: a bare name
  std::string directory = slash == 0 ? "." : path.substr(0, slash);
  path_ = path.substr(0, slash) + temporary_template(path.substr(slash), kind);
  form_ = form;
  UniqueFd parent(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid()) return;
  // A socket rather than a pipe: telling a keeper that died must not raise
  // SIGPIPE here.
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return;
  UniqueFd watched(ends[0]);
  lifeline_ = UniqueFd(ends[1]);
  // Only this end closes on exec: the programs this request starts hold the
  // other, so the keeper waits for them too.
  fcntl(watched.get(), F_SETFD, FD_CLOEXEC);
  UniqueFd made;
  if (form == TemporaryForm::file) {
    made = UniqueFd(mkostemp(path_.data(), O_CLOEXEC));
  } else if (mkdtemp(path_.data())) {
    made = UniqueFd(open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!made.valid()) {
      int error = errno;
      rmdir(path_.c_str());
      errno = error;
    }
  }
  if (!made.valid()) return;
  // As anything new, not the owner-only mode mkstemp and mkdtemp give.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(made.get(), (form == TemporaryForm::file ? 0666 : 0777) & ~mask);
  hold_temporary(made.get());
  std::string name = path_.substr(slash);
  int forked = background_fork();
  if (forked == 0) {
    int null = open("/dev/null", O_RDWR);
    for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, stream);
    // `made` stays open here: it holds the file (hold_temporary) until the
    // keeper is done with it.
    lifeline_.close();
    keep_watch(watched.get(), parent.get(), name);
  }
  if (forked < 0) {
    int error = errno;
    remove_tree(AT_FDCWD, path_);
    errno = error;
    return;
  }
  fd_ = std::move(made);
  done_ = false;
}

bool Temporary::keep_as(const std::string& path, Existing existing) {
  if (done_) return false;
  // On the disk before it has its name: after a power cut a file under
  // its final name is whole. A folder's files go with it: its whole file
  // system is flushed.
  int flushed = form_ == TemporaryForm::file ? fsync(fd_.get()) : syncfs(fd_.get());
  if (flushed != 0 || !fd_.close()) return false;
  int renamed = existing == Existing::replace ? rename(path_.c_str(), path.c_str())
                        : rename_no_replace(path_.c_str(), path.c_str());
  if (renamed != 0) return false;
  done_ = true;
  send(lifeline_.get(), "k", 1, MSG_NOSIGNAL);
  lifeline_.close();
  sync_folder_of(path);  // it has its name either way; this only makes it last
  return true;
}

void Temporary::discard() {
  if (done_) return;
  done_ = true;
  fd_.close();
  remove_tree(AT_FDCWD, path_);
}

}  // namespace kiv
