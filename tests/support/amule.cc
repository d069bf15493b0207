#include "tests/support/amule.h"

#include <unistd.h>

namespace kiv::testing {
namespace {

/// `text` with every line "key=..." replaced by "key=value".
std::string set(std::string text, const std::string& key, const std::string& value) {
  std::string line_start = "\n" + key + "=";
  for (size_t at = text.find(line_start); at != std::string::npos;
       at = text.find(line_start, at + 1)) {
    size_t begin = at + line_start.size();
    text.replace(begin, std::min(text.find('\n', begin), text.size()) - begin, value);
  }
  return text;
}

}  // namespace

AmuleDaemon::AmuleDaemon() {
  if (access("/usr/bin/amuled", X_OK) != 0) return;
  std::string env = "HOME=" + home();
  // The first run writes a default configuration and ends.
  run_program({"/usr/bin/amuled"}, {env});
  std::string conf_path = home() + ".aMule/amule.conf";
  std::string conf = read_text(conf_path);
  if (conf.empty()) return;

  int peer = free_port(), control = free_port();
  // "secret" hashed as the daemon and the tool expect it.
  const std::string password = "5ebe2294ecd0e0f08eab7690d2a6ee69";
  const std::pair<const char*, std::string> settings[] = {
      {"Address", "127.0.0.1"},     {"Port", std::to_string(peer)},
      {"UDPEnable", "0"},           {"Autoconnect", "0"},
      {"Reconnect", "0"},           {"ConnectToKad", "0"},
      {"ConnectToED2K", "0"},       {"AcceptExternalConnections", "1"},
      {"ECAddress", "127.0.0.1"},   {"ECPort", std::to_string(control)},
      {"ECPassword", password},
  };
  for (const auto& [key, value] : settings) conf = set(conf, key, value);
  write_text(conf_path, conf);
  write_text(home() + ".aMule/remote.conf",
             "[EC]\nHost=localhost\nPort=" + std::to_string(control) + "\nPassword=" + password + "\n");

  std::string amuled = "/usr/bin/amuled";
  daemon_ = std::make_unique<Running>(std::vector<std::string>{"/usr/bin/env", env, amuled},
                                      home());
  // Its port opens before it answers the tool: ready once the tool gets in.
  ready_ = eventually([&] {
    return accepts_connections(control) &&
           run_program({"/usr/bin/amulecmd", "-c", "status"}, {env})
                   .out.find("Connection established") != std::string::npos;
  });
}

}  // namespace kiv::testing
