#pragma once

#include <string>
#include <string_view>

// The access lock: Basic Authentication of the web directories, switched by
// the presence of .htpasswd files.
namespace kiv::ctl {

/// User names and passwords have this many characters at least and at most.
inline constexpr size_t kMinCredential = 6;
inline constexpr size_t kMaxCredential = 10;

/// Decodes standard base64 (no "=" fill needed), zero bytes included.
/// Characters outside the alphabet count as the end of the data.
std::string base64_decode(std::string_view text);

/// "read" answers "OK" or "KO", "unlock" removes the lock files, anything
/// else is "user:base64-password[:flag]" and switches the lock on.
[[noreturn]] void do_lock(const std::string& argument);

void lock_command(const std::string& file, const std::string& para);

}  // namespace kiv::ctl
