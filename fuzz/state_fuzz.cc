// The state readers of wget, ctorrent and aria2c jobs (what the status and
// the restart after a power cut read of a job's log), on logs the fuzzer
// grows from real ones (fuzz/corpus/state: a log, then the choices at its
// end), repeated past the reach of both ends and with figures too large for
// any count. They never crash nor read out of bounds, and hold to the rules
// of a job's state whatever the log says:
//  - bytes done ≥ 0; the size -1 (unknown) or at least the bytes done;
//  - speeds ≥ 0, and 0 for a transfer that no longer runs; peers, seeds ≥ 0;
//  - a running transfer is fetching its metadata, running or seeding; one
//    that no longer runs is stopped, finished or failed;
//  - a reason exactly when failed;
//  - a torrent seeding or finished has every byte: done = size when known.
#include <string>

#include "common/aria2_state.h"
#include "common/job_state.h"
#include "common/wget_state.h"
#include "fuzz/harness.h"

namespace kiv::fuzz {
namespace {

/// Figures no transfer reaches, to splice in for one the log holds.
constexpr const char* kFigures[] = {"9223372036854775807", "99999999999999999999", "-1",
                                    "4611686018427387904", "0", "2147483648"};

/// `log` with its `which`-th run of digits replaced by `figure`.
std::string spliced(std::string log, size_t which, std::string_view figure) {
  size_t at = 0;
  for (size_t run = 0;; ++run) {
    at = log.find_first_of("0123456789", at);
    if (at == std::string::npos) return log;
    size_t end = std::min(log.find_first_not_of("0123456789", at), log.size());
    if (run == which) return log.replace(at, end - at, figure);
    at = end;
  }
}

std::string described(const JobState& s) {
  return "phase " + std::string(phase_name(s.phase)) + ", done " + std::to_string(s.done) +
         ", size " + std::to_string(s.size) + ", down " + std::to_string(s.down) + ", up " +
         std::to_string(s.up) + ", peers " + (s.peers ? std::to_string(*s.peers) : "none") +
         ", seeds " + (s.seeds ? std::to_string(*s.seeds) : "none") + ", reason " +
         shown(s.reason);
}

void check_state(FuzzedDataProvider& input) {
  // The choices come from the input's end, the log is the rest.
  enum Kind { wget, ctorrent, aria2 };
  Kind kind = Kind(input.ConsumeIntegralInRange(0, 2));
  bool running = input.ConsumeBool();
  int repeat = input.ConsumeIntegralInRange(1, 6);
  bool splice = input.ConsumeBool();
  size_t which = input.ConsumeIntegralInRange<size_t>(0, 63);
  const char* figure = kFigures[input.ConsumeIntegralInRange<size_t>(0, std::size(kFigures) - 1)];
  std::string once = input.ConsumeRemainingBytesAsString();
  if (splice) once = spliced(once, which, figure);
  std::string log;
  for (int i = 0; i < repeat; ++i) log += once;

  // The two ends as read_log_ends gives them: a short log is all tail.
  std::string tail = log.substr(log.size() - std::min(log.size(), kLogTailLength));
  std::string head = log.substr(0, kLogHeadLength);
  const char* sources[] = {"http://127.0.0.1:8099/big%20file.iso?x=1", "/d/a.torrent",
                           "magnet:?xt=urn:btih:fbdd8c1399371efcc3fcb9bdc0f80687644eec17"};
  JobRecord record{"123", sources[kind], "", std::nullopt};
  JobView view{record, running, head, tail};
  JobState s = kind == wget ? wget_state(view) : torrent_job_state(view);

  std::string what = described(s) + (running ? " (running)\n" : " (not running)\n") +
                     "log " + shown(once.substr(0, 2000)) + " x" + std::to_string(repeat);
  KIV_CHECK(s.done >= 0 && (s.size == -1 || s.size >= s.done), what);
  KIV_CHECK(s.down >= 0 && s.up >= 0 && (running || (s.down == 0 && s.up == 0)), what);
  KIV_CHECK(s.peers.value_or(0) >= 0 && s.seeds.value_or(0) >= 0, what);
  bool live = s.phase == JobPhase::metadata || s.phase == JobPhase::running ||
              s.phase == JobPhase::seeding;
  bool ended = s.phase == JobPhase::stopped || s.phase == JobPhase::finished ||
               s.phase == JobPhase::failed;
  KIV_CHECK(running ? live : ended, what);
  KIV_CHECK(s.reason.empty() == (s.phase != JobPhase::failed), what);
  bool whole = s.phase == JobPhase::seeding || s.phase == JobPhase::finished;
  KIV_CHECK(kind == wget || !whole || s.size < 0 || s.done == s.size, what);
}

}  // namespace
}  // namespace kiv::fuzz

KIV_FUZZ_TARGET(kiv::fuzz::check_state)
