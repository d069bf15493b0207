#include "fuzz/harness.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "common/end.h"

namespace kiv::fuzz {

void setup() {
  set_process_end([](int status) { throw Ended{status}; });
  int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  close(null);
}

int run_request(const std::function<void()>& body) {
  // The code under test changes the working directory; libFuzzer keeps
  // using relative paths.
  static int start = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int status = -1;
  try {
    body();
  } catch (const Ended& ended) {
    status = ended.status;
  }
  if (fchdir(start) != 0) broken("fchdir", "back to the starting directory");
  return status;
}

void broken(const char* condition, std::string_view what) {
  fprintf(stderr, "\nPROPERTY BROKEN: %s\n%.*s\n", condition, int(what.size()), what.data());
  abort();
}

std::string scratch_directory() {
  // Plain storage: still there when the exit handler removes the directory.
  static char made[4096];
  if (!made[0]) {
    std::string path = std::filesystem::temp_directory_path().string() + "/kiv-fuzz-XXXXXX";
    if (path.size() + 2 > sizeof made || !mkdtemp(path.data())) broken("mkdtemp", path);
    snprintf(made, sizeof made, "%s/", path.c_str());
    atexit([] {
      std::error_code error;
      std::filesystem::remove_all(made, error);
    });
  }
  return made;
}

void empty_directory(const std::string& directory) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error))
    std::filesystem::remove_all(entry.path(), error);
}

std::string shown(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += char(c);
    } else {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace kiv::fuzz

// Every target starts the same way; this file is built into each of them,
// so libFuzzer finds the hook without a copy per target.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiv::fuzz::setup();
  return 0;
}
