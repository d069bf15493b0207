#pragma once

#include <memory>
#include <string>

#include "tests/support/child.h"
#include "tests/support/processes.h"

namespace kiv::testing {

/// A real eDonkey daemon on loopback only, with no outside connections, and
/// a home directory whose remote.conf lets the command tool reach it. The
/// daemon is ended by its id with this object.
class AmuleDaemon {
 public:
  AmuleDaemon();
  /// Whether the daemon came up (it is missing on some machines).
  bool ready() const { return ready_; }
  /// The HOME under which amulecmd finds the daemon.
  const std::string& home() const { return home_.path(); }

 private:
  TempDir home_;
  std::unique_ptr<Running> daemon_;
  bool ready_ = false;
};

}  // namespace kiv::testing
