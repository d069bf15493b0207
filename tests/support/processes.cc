#include "tests/support/processes.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/child.h"
#include "tests/support/programs.h"

namespace kiv::testing {
namespace {

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
  for (int i = 0; i < 100; ++i) {
    char target[4096];
    ssize_t n = readlink(("/proc/" + pid() + "/exe").c_str(), target, sizeof target);
    if (n > 0 && std::string_view(target, size_t(n)).ends_with(program)) return;
    usleep(20000);
  }
}

void Running::kill_only() {
  kill(pid_, SIGKILL);
  usleep(100000);
}

void Running::end() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

std::vector<pid_t> processes_running(const std::string& exe) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (dirent* entry = readdir(proc)) {
    char* end;
    long pid = strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    char target[4096];
    std::string link = "/proc/" + std::string(entry->d_name) + "/exe";
    ssize_t n = readlink(link.c_str(), target, sizeof target);
    if (n <= 0) continue;
    std::string_view file(target, size_t(n));
    // An emulated program's file is the emulator's; its command line says
    // which program it runs.
    if (file == exe || (file == emulator() && emulates(command_line(entry->d_name), exe)))
      pids.push_back(pid_t(pid));
  }
  closedir(proc);
  return pids;
}

std::vector<std::string> waiting_wget(const SilentListener& listener,
                                      const std::string& job_log) {
  std::vector<std::string> argv = {"/usr/bin/wget", "-q", "-O", "/dev/null", "--tries=1"};
  if (!job_log.empty()) argv.insert(argv.end(), {"-a", job_log});
  argv.push_back("http://127.0.0.1:" + std::to_string(listener.port()) + "/");
  return argv;
}

}  // namespace kiv::testing
