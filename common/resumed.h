#pragma once

#include <ctime>
#include <optional>
#include <string>

// The notice kivd leaves when it has resumed transfers at its start, carried
// by the status answer so that the page can say so once.
namespace kiv {

/// In the job directory; no job file has this name (the job ids are six
/// letters or digits, the logs have suffixes).
inline constexpr const char* kResumedNoticeName = "_resumed";

struct ResumedNotice {
  unsigned count = 0;  // transfers resumed
  time_t when = 0;     // when kivd resumed them
};

/// Leaves the notice (replaced atomically), or removes an older one when
/// nothing was resumed. False with errno when it could not.
bool write_resumed_notice(const ResumedNotice& notice);

/// The notice, when there is one and it reads whole.
std::optional<ResumedNotice> read_resumed_notice();

}  // namespace kiv
