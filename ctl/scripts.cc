#include "ctl/scripts.h"

#include <unistd.h>

#include "common/config.h"
#include "common/dir.h"
#include "common/quote.h"
#include "common/response.h"
#include "common/shell.h"

namespace kiv::ctl {
namespace {

[[noreturn]] void run_in_download_directory(const std::string& command_line) {
  if (chdir(config().dnldir.c_str()) != 0)
    message_answer("Unable to enter download directory:", config().dnldir);
  message_answer(run_shell(command_line), "\n");
}

}  // namespace

void scripts_command(const std::string& file, const std::string&) {
  std::string directory = config().droo + "scripts/";
  if (!file.empty()) run_in_download_directory(directory + file);

  auto names = directory.size() <= kMaxScriptsDirectory
                   ? scan_directory(directory, ScanOrder::directory)
                   : std::nullopt;
  if (!names) message_answer("Can't scan scripts directory:\n", directory);
  std::string options;
  for (auto name = names->rbegin(); name != names->rend(); ++name) {
    std::string shown = escape_html(*name);
    std::string option = "<option value=\"" + shown + "\">" + shown + "</option>\n";
    if (options.size() + option.size() > kMaxScriptList) break;
    options += option;
  }
  message_answer(options, "");
}

void run_command(const std::string& file, const std::string&) { run_in_download_directory(file); }

void amule_command(const std::string& file, const std::string&) {
  message_answer(run_shell("amulecmd -c " + shell_word(file)), "\n");
}

}  // namespace kiv::ctl
