#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace kiv {

/// Cuts `text` before the last `ch`; false (text unchanged) when it has none.
inline bool cut_at_last(std::string& text, char ch) {
  size_t at = text.rfind(ch);
  if (at == std::string::npos) return false;
  text.resize(at);
  return true;
}

/// Appends `number` in decimal, without padding.
inline void append_decimal(std::string& text, uint64_t number) {
  char digits[20];
  text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

}  // namespace kiv
