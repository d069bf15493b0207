#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/installation.h"
#include "tests/support/processes.h"

namespace kiv::testing {

/// A row of tests/host_cases.txt: a Host value and whether the box serves
/// it, for a box named kCaseOwnName with hosts=kCaseAllowed.
struct HostCase {
  std::string host;
  bool allowed;
};
inline constexpr const char* kCaseOwnName = "nas";
inline constexpr const char* kCaseAllowed = "media.example,other.example";
std::vector<HostCase> host_cases();

/// An installation served by the real web server (lighttpd, through
/// scripts/webserver.sh) on a free loopback port, with the built CGI
/// programs in both cgi-bin folders (the second as an older installation
/// left it). The server is ended with this object.
class WebSite {
 public:
  explicit WebSite(const Installation& installation);

  /// Whether lighttpd and curl are installed; nothing else works without.
  static bool available();
  /// Whether a small file system can be mounted (root and unshare).
  static bool can_mount();

  /// Starts the server; with `small_disk_kib` it runs in a mount namespace
  /// of its own with a file system of that size over the download
  /// directory, which only its requests see. False when it does not answer.
  bool start(size_t small_disk_kib = 0);
  void stop() { server_.reset(); }

  int port() const { return port_; }
  std::string url(const std::string& path) const;
  /// curl -s --path-as-is -H 'X-Kiv: 1' with `args`: the body, or what -w
  /// asks for.
  std::string curl(std::vector<std::string> args) const;
  /// The status code of a GET, with credentials when given.
  std::string status(const std::string& path, const std::string& credentials = "") const;
  /// A kiv-ctl answer for `query`.
  std::string ctl(const std::string& query, const std::string& credentials = "") const;
  /// The answer of kiv-upload for the local file `path`, sent as the form
  /// field "up" into the folder `curdir`.
  std::string upload(const std::string& path, const std::string& curdir = "/") const;

 private:
  std::string root_;
  int port_;
  std::unique_ptr<Running> server_;
};

}  // namespace kiv::testing
