#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>

// What every fuzz target shares: requests that end the process unwind back
// to the target instead, with the status they would have exited with.
namespace kiv::fuzz {

/// Thrown where the process would have ended.
struct Ended {
  int status;
};

/// Turns process ends into Ended and sends standard output (the answers)
/// to /dev/null; harness.cc's LLVMFuzzerInitialize calls it once.
void setup();

/// Runs `body`; the exit status it ended with, or -1 when it returned. The
/// working directory is the same afterwards.
int run_request(const std::function<void()>& body);

/// Ends the run with a report when `condition` is false: libFuzzer keeps
/// the input that broke a property like one that crashed.
#define KIV_CHECK(condition, ...)                                  \
  do {                                                             \
    if (!(condition)) ::kiv::fuzz::broken(#condition, __VA_ARGS__); \
  } while (0)
[[noreturn]] void broken(const char* condition, std::string_view what);

/// libFuzzer's entry for a target whose `check` takes its input through a
/// FuzzedDataProvider.
#define KIV_FUZZ_TARGET(check)                                               \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    FuzzedDataProvider input(data, size);                                    \
    check(input);                                                            \
    return 0;                                                                \
  }

/// A fresh directory below the system's temporary directory, ending in
/// "/", removed at exit.
std::string scratch_directory();

/// Removes everything inside `directory` (ending in "/").
void empty_directory(const std::string& directory);

/// `text` with every byte shown printable, for reports.
std::string shown(std::string_view text);

}  // namespace kiv::fuzz
