#pragma once

#include <string>
#include <vector>

namespace kiv::testing {

/// Evaluates `object_text` (a script-object answer, decoded as UTF-8 like a
/// page would) with the real node engine as `o`, then `expression`, which
/// must give an array of strings; returns those strings as UTF-8 bytes.
/// Any script the answer manages to run sets globalThis.pwned; that, or a
/// syntax error, comes back as a single element starting with "!".
std::vector<std::string> script_strings(const std::string& object_text,
                                        const std::string& expression);

}  // namespace kiv::testing
