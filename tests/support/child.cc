#include "tests/support/child.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace kiv::testing {
namespace {

struct Pipes {
  int in[2], out[2], err[2];
  Pipes() {
    // Close-on-exec: a child another thread starts meanwhile must not hold
    // these open (a reader would wait for that child's end too).
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
      throw std::runtime_error("pipe");
  }
};

void become_child(Pipes& p) {
  dup2(p.in[0], 0);
  dup2(p.out[1], 1);
  dup2(p.err[1], 2);
  for (int fd : {p.in[0], p.in[1], p.out[0], p.out[1], p.err[0], p.err[1]}) close(fd);
}

ChildResult collect(pid_t pid, Pipes& p, std::string_view input) {
  close(p.in[0]);
  close(p.out[1]);
  close(p.err[1]);
  signal(SIGPIPE, SIG_IGN);
  fcntl(p.in[1], F_SETFL, O_NONBLOCK);
  if (input.empty()) {
    close(p.in[1]);
    p.in[1] = -1;
  }
  ChildResult result;
  int open_outputs = 2;
  while (open_outputs > 0 || p.in[1] >= 0) {
    pollfd fds[3] = {{p.out[0], POLLIN, 0}, {p.err[0], POLLIN, 0}, {p.in[1], POLLOUT, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char block[65536];
      ssize_t n = read(fds[i].fd, block, sizeof block);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(block, size_t(n));
      } else {
        close(fds[i].fd);
        (i == 0 ? p.out[0] : p.err[0]) = -1;
        --open_outputs;
      }
    }
    if (p.in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(p.in[1], input.data(), input.size());
      if (n > 0) input.remove_prefix(size_t(n));
      if (n < 0 && errno != EAGAIN) input = {};
      if (input.empty()) {
        close(p.in[1]);
        p.in[1] = -1;
      }
    }
  }
  while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
  }
  return result;
}

}  // namespace

int ChildResult::exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

ChildResult run_in_child(const std::function<void()>& body, std::string_view input) {
  fflush(nullptr);
  Pipes p;
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    become_child(p);
    body();
    fflush(nullptr);
    _exit(kReturned);
  }
  return collect(pid, p, input);
}

ChildResult run_program(const std::vector<std::string>& argv,
                        const std::vector<std::string>& env, std::string_view input) {
  std::vector<char*> args, vars;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env) vars.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  vars.push_back(nullptr);
  return run_in_child(
      [&] {
        execve(args[0], args.data(), vars.data());
        _exit(127);
      },
      input);
}

TempDir::TempDir() {
  std::string name = "/tmp/kivtest.XXXXXX";
  if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp");
  path_ = name + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

namespace {

// Test runs of other build trees may use the same fixed paths at the same
// time; they take turns by an exclusive lock on /tmp itself (no lock file
// is left behind). Held while any KeepFile of this process lives.
int shared_path_users = 0;
int shared_path_lock = -1;

void lock_shared_paths() {
  if (shared_path_users++ > 0) return;
  shared_path_lock = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (flock(shared_path_lock, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void unlock_shared_paths() {
  if (--shared_path_users > 0) return;
  close(shared_path_lock);
  shared_path_lock = -1;
}

}  // namespace

KeepFile::KeepFile(std::string path) : path_(std::move(path)) {
  lock_shared_paths();
  existed_ = access(path_.c_str(), F_OK) == 0;
  if (existed_) content_ = read_text(path_);
}

KeepFile::~KeepFile() {
  unlink(path_.c_str());
  if (existed_) write_text(path_, content_);
  unlock_shared_paths();
}

void write_text(const std::string& path, std::string_view content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(content.data(), std::streamsize(content.size()));
}

std::string read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace kiv::testing
