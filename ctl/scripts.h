#pragma once

#include <string>

// Commands that hand text to a shell or to the eDonkey client.
namespace kiv::ctl {

/// The option list of the scripts directory is cut to whole options within
/// this many characters.
inline constexpr size_t kMaxScriptList = 1000;
/// Longest scripts directory path.
inline constexpr size_t kMaxScriptsDirectory = 200;

/// No name: the scripts as HTML options. A name (and arguments): its output.
[[noreturn]] void list_scripts(const std::string& argument);
/// Runs a command line in the download directory and answers its output.
[[noreturn]] void run_command(const std::string& command_line);
/// One command to the eDonkey client; answers the tool's output.
[[noreturn]] void amule_command(const std::string& command);

void scripts_command(const std::string& file, const std::string& para);
void run_command_line(const std::string& file, const std::string& para);
void amule_command_line(const std::string& file, const std::string& para);

}  // namespace kiv::ctl
