#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/origin.h"
#include "common/quote.h"

namespace kiv::ctl {

/// A longer command word is refused: no command needs more.
inline constexpr size_t kCommandWordLength = 10;
/// A longer FORM_file or FORM_para is refused before anything is done (a
/// cut one could name a folder above the file meant).
inline constexpr size_t kArgumentLength = kMaxNameLength;

/// A handler returns when it succeeded (the answer is then "OK") and ends
/// the request itself otherwise, or when it answers with text of its own.
using Handler = void (*)(const std::string& file, const std::string& para);

struct Command {
  std::string_view keyword;
  Handler handler;
  // Only "dow" serves a plain link: it changes nothing.
  Callers callers = Callers::page;
};

/// The command table in matching order.
std::span<const Command> command_table();

/// The first command whose keyword occurs anywhere in `word`
/// (case-sensitive), if any.
const Command* find_command(std::string_view word);

/// Reads FORM_cmd, FORM_file and FORM_para, runs the selected handler and
/// answers. Never returns.
[[noreturn]] void dispatch();

}  // namespace kiv::ctl
