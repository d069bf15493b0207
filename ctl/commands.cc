#include "ctl/commands.h"

#include <cstdlib>

#include "common/request.h"
#include "common/response.h"
#include "ctl/download.h"
#include "ctl/files.h"
#include "ctl/jobs.h"
#include "ctl/lock.h"
#include "ctl/queue.h"
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
    {"run", run_command},
    {"amule", amule_command},
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
    {"magnet", magnet_command},
    {"queue", queue_command},
    {"startnow", startnow_command},
    {"move", move_command},
};

}  // namespace

std::span<const Command> command_table() { return kCommands; }

const Command* find_command(std::string_view word) {
  for (const Command& command : kCommands)
    if (word.find(command.keyword) != std::string_view::npos) return &command;
  return nullptr;
}

void dispatch() {
  if (!getenv("FORM_cmd")) message_answer("kiv-ctl: no command provided", std::nullopt);
  std::string word = *form_field("cmd", kCommandWordLength, kFieldTooLong);
  std::string file = form_field("file", kArgumentLength).value_or("");
  std::string para = form_field("para", kArgumentLength).value_or("");

  const Command* command = find_command(word);
  if (!command) message_answer("Unknown command:", word);
  if (command->callers == Callers::page) require_page_header();
  command->handler(file, para);
  message_answer("OK", "");
}

}  // namespace kiv::ctl
