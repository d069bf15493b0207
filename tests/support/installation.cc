#include "tests/support/installation.h"

#include <stdexcept>
#include <sys/stat.h>

#include "common/file.h"
#include "tests/support/programs.h"

namespace kiv::testing {

Installation::Installation() {
  for (const char* dir : {"bin", "scripts", "www", "www/kiv", "www/kiv/trk", "www/kiv/dnl",
                          "www/kiv/cgi-bin", "www/kivfb", "www/kivfb/cgi-bin"})
    mkdir((root() + dir).c_str(), 0755);
  publish();
}

void Installation::publish(const std::string& extra) {
  const std::string& r = root();
  // Replaced whole, as the daemon does: a program or a kivd of the test
  // reading it meanwhile never sees it cut. Mode 0644 as the daemon leaves
  // it: the programs refuse a copy others could write.
  std::string text = "droo=" + r + "\ndbin=" + r + "bin/\nwget=wget\nctor=ctorrent\n" +
                     "dwww=" + r + "www/kiv/\ndufb=" + r + "www/kivfb/\n" +
                     "dnldir=" + r + "www/kiv/dnl/\npidfile=" + r + "bin/kiv.pid\n" + extra;
  if (!replace_file("/tmp/kiv.conf", text, 0644)) throw std::runtime_error("/tmp/kiv.conf");
}

std::string body_of(const ChildResult& result) {
  size_t at = result.out.find("\r\n\n");
  return at == std::string::npos ? result.out : result.out.substr(at + 3);
}

ChildResult Installation::run(const std::string& program, std::vector<std::string> env,
                              std::string_view body) const {
  // The page header, unless the test sets HTTP_X_KIV itself.
  bool has_header = false;
  for (const std::string& entry : env) has_header |= entry.starts_with("HTTP_X_KIV=");
  if (!has_header) env.push_back("HTTP_X_KIV=1");
  env.push_back("PATH=/usr/bin:/bin");
  env.push_back("GATEWAY_INTERFACE=CGI/1.1");
  return run_program(program_command(kiv::testing::program(program)), env, body);
}

}  // namespace kiv::testing
