#include "ctl/queue.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <vector>

#include "common/config.h"
#include "common/file.h"
#include "common/job_queue.h"
#include "common/queue_settings.h"
#include "common/request.h"
#include "common/response.h"
#include "common/text.h"
#include "ctl/checks.h"
#include "ctl/jobs.h"

namespace kiv::ctl {
namespace {

Admission admission = Admission::by_queue;

std::string record_of(std::string log) {
  cut_at_last(log, '.');
  return log;
}

void write_queued(const std::string& record_path, JobRecord record, long long turn) {
  record.wish = JobWish::queued;
  record.turn = turn;
  if (!write_job_record(record_path, record))
    message_answer("Unable to write trk file:", record_path);
}

/// The queued job whose log is `file`, among `entries`, and where it stands
/// in `order`. Ends the request when it is not queued.
size_t place_of(const std::vector<const QueueEntry*>& order, const std::string& file) {
  auto at = std::find_if(order.begin(), order.end(),
                         [&](const QueueEntry* entry) { return entry->log == file; });
  if (at == order.end()) message_answer("Job not queued:", file);
  return size_t(at - order.begin());
}

}  // namespace

void hold_queue_lock() {
  if (!hold_job_lock()) error_answer(errno, config().trkdir);
}

void set_admission(Admission chosen) { admission = chosen; }

QueueSlot started_slot(const JobRecord& job) {
  if (admission == Admission::outside) return QueueSlot::outside;
  return admission == Admission::granted ? job.slot : QueueSlot::counted;
}

bool queued_instead(const std::string& job_log, const JobRecord& job) {
  if (admission != Admission::by_queue) return false;
  hold_queue_lock();
  QueueSettings settings = read_queue_settings();
  HourMode mode = hour_mode(settings, time(nullptr));
  std::vector<QueueEntry> entries = queue_entries();
  // Behind the queued jobs that would get a slot first.
  Admitted ahead = admitted_now(entries, settings, mode);
  if (mode != HourMode::paused && slot_free(ahead.taken, settings, job_log.ends_with(".tor")))
    return false;
  // Listed like any job from now on: a queued job has its log too.
  UniqueFd log(open(job_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!log.valid() || !log.close()) message_answer("Unable to write trk file:", job_log);
  write_queued(record_of(job_log), job, last_turn(entries));
  return true;
}

void queue_command(const std::string&, const std::string&) {
  hold_queue_lock();
  QueueSettings settings = read_queue_settings();
  for (std::string_view field : kQueueFields) {
    std::optional<std::string> value = form_field(field, kFieldLength);
    if (!value) continue;
    if (std::optional<std::string> refusal = set_queue_field(settings, field, *value))
      message_answer(*refusal, *value);
  }
  if (!write_queue_settings(settings)) error_answer(errno, config().trkdir + kQueueSettingsName);
}

void startnow_command(const std::string& file, const std::string&) {
  hold_queue_lock();
  std::vector<QueueEntry> entries = queue_entries();
  place_of(queue_order(entries), file);
  set_admission(Admission::outside);
  restart_of_kind(file);
}

void move_command(const std::string& file, const std::string&) {
  std::string to = form_field("to", kFieldLength).value_or("");
  if (to != "top" && to != "up" && to != "down") message_answer("Invalid move:", to);
  hold_queue_lock();
  std::vector<QueueEntry> entries = queue_entries();
  std::vector<const QueueEntry*> order = queue_order(entries);
  size_t place = place_of(order, file);
  const QueueEntry& job = *order[place];
  const std::string& trkdir = config().trkdir;
  if (to == "top") {
    if (place > 0) write_queued(trkdir + record_of(job.log), job.record, first_turn(entries));
    return;
  }
  size_t other_place = to == "up" ? place - 1 : place + 1;
  // Already first or last.
  if ((to == "up" && place == 0) || other_place >= order.size()) return;
  const QueueEntry& other = *order[other_place];
  // The two change turns; a tie (never written so) is broken apart.
  long long turn = job.record.turn, other_turn = other.record.turn;
  if (turn == other_turn) (to == "up" ? other_turn : turn) -= 1;
  write_queued(trkdir + record_of(job.log), job.record, other_turn);
  write_queued(trkdir + record_of(other.log), other.record, turn);
}

}  // namespace kiv::ctl
