#pragma once

#include <string>
#include <string_view>

// The access lock: Basic Authentication of the web directories, switched by
// the presence of .htpasswd files.
namespace kiv::ctl {

/// User names and passwords have this many characters at least and at most.
inline constexpr size_t kMinCredential = 6;
inline constexpr size_t kMaxCredential = 10;

void lock_command(const std::string& file, const std::string& para);

}  // namespace kiv::ctl
