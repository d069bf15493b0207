#pragma once

#include <string>
#include <string_view>

namespace kiv {

/// As basename(3), without its writes into the argument: trailing "/" are
/// dropped first; "/" stays "/" and an empty path is ".".
std::string last_component(std::string_view path);

/// As dirname(3), without its writes into the argument: "." when `path`
/// has no "/", "/" for a name at the top.
std::string directory_part(std::string_view path);

}  // namespace kiv
