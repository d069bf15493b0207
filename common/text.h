#pragma once

#include <string>

namespace kiv {

/// Cuts `text` before the last `ch`; false (text unchanged) when it has none.
inline bool cut_at_last(std::string& text, char ch) {
  size_t at = text.rfind(ch);
  if (at == std::string::npos) return false;
  text.resize(at);
  return true;
}

}  // namespace kiv
