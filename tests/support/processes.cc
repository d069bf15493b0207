#include "tests/support/processes.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/child.h"
#include "tests/support/programs.h"

namespace kiv::testing {
namespace {

// Set before any test starts a process (see processes.h).
[[maybe_unused]] const bool kAdopting = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;

std::vector<std::string> command_line(const std::string& pid) {
  std::string text = read_text("/proc/" + pid + "/cmdline");
  std::vector<std::string> words;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\0', at);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

UniqueFd loopback_socket(int& port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("loopback socket");
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

int free_port() {
  int port;
  loopback_socket(port);
  return port;
}

bool accepts_connections(int port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

SilentListener::SilentListener() : fd_(loopback_socket(port_)) {
  if (listen(fd_.get(), 4) != 0) throw std::runtime_error("listen");
}

Running::Running(std::vector<std::string> argv, const std::string& directory) {
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (chdir(directory.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
}

void Running::wait_for_exec(std::string_view program) const {
  eventually([&] {
    char target[4096];
    ssize_t n = readlink(("/proc/" + pid() + "/exe").c_str(), target, sizeof target);
    return n > 0 && std::string_view(target, size_t(n)).ends_with(program);
  }, 2);
}

void Running::kill_only() {
  kill(pid_, SIGKILL);
  siginfo_t info;
  while (waitid(P_PID, id_t(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
}

void Running::end() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

int wait_factor() {
  static const int factor = kLoadAllowance * (emulator().empty() ? 1 : kEmulationSlowdown);
  return factor;
}

std::chrono::milliseconds allowance(std::chrono::milliseconds idle) {
  return idle * wait_factor();
}

std::vector<pid_t> child_processes(pid_t parent) {
  std::vector<pid_t> pids;
  std::string task = "/proc/" + std::to_string(parent) + "/task/";
  DIR* threads = opendir(task.c_str());
  if (!threads) return pids;
  while (dirent* entry = readdir(threads)) {
    if (entry->d_name[0] == '.') continue;
    std::string list = read_text(task + entry->d_name + "/children");
    for (size_t at = 0; (at = list.find_first_of("0123456789", at)) != std::string::npos;) {
      size_t end = list.find(' ', at);
      pids.push_back(pid_t(std::stol(list.substr(at, end - at))));
      at = end;
    }
  }
  closedir(threads);
  return pids;
}

std::vector<pid_t> processes_running(const std::string& exe) {
  std::vector<pid_t> pids;
  std::vector<pid_t> pending = child_processes(getpid());
  while (!pending.empty()) {
    pid_t pid = pending.back();
    pending.pop_back();
    for (pid_t child : child_processes(pid)) pending.push_back(child);
    std::string id = std::to_string(pid);
    char target[4096];
    ssize_t n = readlink(("/proc/" + id + "/exe").c_str(), target, sizeof target);
    if (n <= 0) continue;
    std::string_view file(target, size_t(n));
    // An emulated program's file is the emulator's; its command line says
    // which program it runs.
    if (file == exe || (file == emulator() && emulates(command_line(id), exe)))
      pids.push_back(pid);
  }
  return pids;
}

std::string program_of(const std::string& pid) {
  char target[4096];
  ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof target);
  if (n <= 0) return "";
  std::string_view exe(target, size_t(n));
  return std::string(exe.substr(exe.rfind('/') + 1));
}

void end_processes_running(const std::string& exe) {
  for (std::vector<pid_t> pids; !(pids = processes_running(exe)).empty();) {
    for (pid_t pid : pids) kill(pid, SIGKILL);
    // Ours to reap once adopted; a process whose parent lives is its
    // parent's, and is seen no more once it is a zombie.
    for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  }
}

std::vector<std::string> waiting_wget(const SilentListener& listener,
                                      const std::string& job_log) {
  std::vector<std::string> argv = {"/usr/bin/wget", "-q", "-O", "/dev/null", "--tries=1"};
  if (!job_log.empty()) argv.insert(argv.end(), {"-a", job_log});
  argv.push_back("http://127.0.0.1:" + std::to_string(listener.port()) + "/");
  return argv;
}

}  // namespace kiv::testing
