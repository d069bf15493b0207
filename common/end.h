#pragma once

namespace kiv {

/// What ending the process does instead of exiting; must not return.
using ProcessEnd = void (*)(int status);

/// Ends the process with `status`. Every end of a request (the message
/// answer) and every configuration failure comes here, so a harness that
/// runs many requests in one process can unwind instead of exiting.
[[noreturn]] void end_process(int status);

/// Installs `end` in place of exiting (nullptr: exit again). Only harnesses
/// call this; the programs always exit.
void set_process_end(ProcessEnd end);

}  // namespace kiv
