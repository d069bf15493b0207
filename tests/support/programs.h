#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kiv::testing {

// The programs under test and how they are started. By default they are
// this build tree's, started directly. A box's build is tested by naming
// its tree and the emulator that runs it here in the test's environment:
//   KIV_TEST_PROGRAMS=/src/build-armhf KIV_TEST_EMULATOR=qemu-arm e2e_tests
// There is no binfmt_misc to rely on, so every test that starts one of the
// programs goes through these functions.

/// The program file `name` of the tree under test ("ctl/kiv-ctl").
std::string program(std::string_view name);

/// The emulator (an absolute path without links), or empty when native.
const std::string& emulator();

/// The settings above, for a test process that starts the tests again.
std::vector<std::string> programs_environment();

/// The command line that runs the program file `path` with `args`, its
/// argv[0] being `path` either way.
std::vector<std::string> program_command(const std::string& path,
                                         const std::vector<std::string>& args = {});
/// The same for /bin/sh, each word quoted.
std::string program_shell_command(const std::string& path);

/// Copies the program file `name` to `to`, executable, as an installation
/// holds it (kivd finds its root from where its file is).
void copy_program(std::string_view name, const std::string& to);

/// Places the program `name` at `to` for the web server to run as CGI: a
/// copy, or under emulation a wrapper that starts the emulator on it.
void install_cgi_program(std::string_view name, const std::string& to);

/// Whether the command line `words` of a process (its /proc/PID/cmdline)
/// is the emulator running the program file `path` (by the file or by the
/// argv[0] it was given).
bool emulates(const std::vector<std::string>& words, const std::string& path);

}  // namespace kiv::testing
