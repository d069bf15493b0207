#include "tests/support/programs.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "common/quote.h"
#include "tests/support/child.h"

namespace kiv::testing {
namespace {

const std::string& tree() {
  // Absolute, as the tests change directories.
  static const std::string path = [] {
    const char* named = getenv("KIV_TEST_PROGRAMS");
    return std::filesystem::absolute(named && *named ? named : KIV_BUILD_DIR).string();
  }();
  return path;
}

// A name is looked up in the test's PATH; the result is the real file,
// which is what /proc/PID/exe of an emulated process shows.
std::string find_emulator() {
  const char* named = getenv("KIV_TEST_EMULATOR");
  if (!named || !*named) return "";
  std::string name = named, found;
  if (name.find('/') != std::string::npos) {
    found = name;
  } else {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t at = 0; at <= dirs.size();) {
      size_t end = dirs.find(':', at);
      if (end == std::string::npos) end = dirs.size();
      std::string candidate = dirs.substr(at, end - at) + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) {
        found = candidate;
        break;
      }
      at = end + 1;
    }
  }
  std::error_code error;
  std::string real = found.empty() ? "" : std::filesystem::canonical(found, error).string();
  if (real.empty() || access(real.c_str(), X_OK) != 0) {
    // Natively instead would prove nothing about the box's programs.
    fprintf(stderr, "KIV_TEST_EMULATOR: %s is not an executable program\n", named);
    exit(2);
  }
  return real;
}


}  // namespace

std::string program(std::string_view name) { return tree() + "/" + std::string(name); }

const std::string& emulator() {
  static const std::string found = find_emulator();
  return found;
}

std::vector<std::string> programs_environment() {
  return {"KIV_TEST_PROGRAMS=" + tree(), "KIV_TEST_EMULATOR=" + emulator()};
}

std::vector<std::string> program_command(const std::string& path,
                                         const std::vector<std::string>& args) {
  std::vector<std::string> words;
  // -0 keeps argv[0] as a native start gives it: the multi-call file picks
  // its part by that name.
  if (!emulator().empty()) words = {emulator(), "-0", path};
  words.push_back(path);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

std::string program_shell_command(const std::string& path) {
  std::string line;
  for (const std::string& word : program_command(path))
    line += (line.empty() ? "" : " ") + shell_word(word);
  return line;
}

void copy_program(std::string_view name, const std::string& to) {
  write_text(to, read_text(program(name)));
  chmod(to.c_str(), 0755);
}

void install_cgi_program(std::string_view name, const std::string& to) {
  if (emulator().empty()) return copy_program(name, to);
  // The web server execs a CGI program itself; without binfmt_misc the
  // kernel cannot run a foreign file, but it runs a script, which hands
  // the program to the emulator under the name the server gave.
  write_text(to, "#!/bin/sh\nexec " + shell_word(emulator()) + " -0 \"$0\" " +
                     shell_word(program(name)) + " \"$@\"\n");
  chmod(to.c_str(), 0755);
}

bool emulates(const std::vector<std::string>& words, const std::string& path) {
  // As program_command and the CGI wrapper start it: emulator -0 NAME FILE.
  return !emulator().empty() && words.size() >= 4 && words[1] == "-0" &&
         (words[2] == path || words[3] == path);
}

}  // namespace kiv::testing
