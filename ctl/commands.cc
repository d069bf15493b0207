#include "ctl/commands.h"

#include <cstdlib>

#include "common/response.h"
#include "ctl/files.h"
#include "ctl/jobs.h"
#include "ctl/lock.h"
#include "ctl/scripts.h"

namespace kiv::ctl {
namespace {

// No keyword contains an earlier one, so each keyword alone selects its own
// row; longer words select the first keyword they contain ("unlock" ->
// "lock").
constexpr Command kCommands[] = {
    {"nukeall", nukeall_command},
    {"disk", disk_command},
    {"scripts", scripts_command},
    {"targz", targz_command},
    {"run", run_command_line},
    {"amule", amule_command_line},
    {"lock", lock_command},
    {"del", del_command},
    {"rem", rem_command},
    {"dow", dow_command, Callers::any_link},
    {"stop", stop_command},
    {"mkdir", mkdir_command},
    {"startdnl", startdnl_command},
    {"starttor", starttor_command},
    {"ctor", ctor_command},
    {"wget", wget_command},
    {"rename", rename_command},
    {"copy", copy_command},
};

std::string form_value(const char* name, size_t width) {
  const char* value = getenv(name);
  return value ? std::string(value).substr(0, width) : std::string();
}

}  // namespace

std::span<const Command> command_table() { return kCommands; }

const Command* find_command(std::string_view word) {
  for (const Command& command : kCommands)
    if (word.find(command.keyword) != std::string_view::npos) return &command;
  return nullptr;
}

void dispatch() {
  if (!getenv("FORM_cmd")) message_answer("kiv-ctl: no command provided", std::nullopt);
  std::string word = form_value("FORM_cmd", kCommandWordLength);
  std::string file = form_value("FORM_file", kArgumentLength);
  std::string para = form_value("FORM_para", kArgumentLength);

  const Command* command = find_command(word);
  if (!command) message_answer("Unknown command:", word);
  if (command->callers == Callers::page) require_page_header();
  command->handler(file, para);
  message_answer("OK", "");
}

}  // namespace kiv::ctl
