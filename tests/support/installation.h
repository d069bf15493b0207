#pragma once

#include <string>
#include <vector>

#include "tests/support/child.h"

namespace kiv::testing {

/// The CGI header block with its closing line feed.
inline const std::string kHeaders =
    "Content-type: text/html;charset=utf-8\r\nPragma: no-cache\r\n"
    "Cache-Control: no-cache,no-store\r\nExpires: 0\r\n\n";

/// A program's answer after its header block (all of it without one).
std::string body_of(const ChildResult& result);

/// A temporary installation root with the default layout, published through
/// /tmp/kiv.conf as the daemon would; both are cleaned up at the end.
class Installation {
 public:
  Installation();

  const std::string& root() const { return root_.path(); }
  std::string dnldir() const { return root() + "www/kiv/dnl/"; }
  std::string trkdir() const { return root() + "www/kiv/trk/"; }

  /// Rewrites /tmp/kiv.conf: the default values, then `extra` lines.
  void publish(const std::string& extra = "");

  /// Runs a built program (by its path in the build tree, "ctl/kiv-ctl")
  /// with a CGI environment: `env` plus PATH, GATEWAY_INTERFACE and, unless
  /// `env` sets it, the page header (HTTP_X_KIV=1).
  ChildResult run(const std::string& program, std::vector<std::string> env,
                  std::string_view body = {}) const;

 private:
  KeepFile keep_{"/tmp/kiv.conf"};
  KeepFile keep_names_{"/tmp/kiv-names"};  // what kivd publishes beside it
  TempDir root_;
};

}  // namespace kiv::testing
