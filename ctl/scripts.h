#pragma once

#include <string>

// Commands that hand text to a shell or to the eDonkey client.
namespace kiv::ctl {

/// The option list of the scripts directory is cut to whole options within
/// this many characters.
inline constexpr size_t kMaxScriptList = 1000;
/// Longest scripts directory path.
inline constexpr size_t kMaxScriptsDirectory = 200;

/// "scripts": no name, the scripts as HTML options; a name (and
/// arguments), its output.
void scripts_command(const std::string& file, const std::string& para);
/// "run": runs the command line `file` in the download directory and
/// answers its output.
void run_command(const std::string& file, const std::string& para);
/// "amule": one command to the eDonkey client; answers the tool's output.
void amule_command(const std::string& file, const std::string& para);

}  // namespace kiv::ctl
