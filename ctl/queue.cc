#include "ctl/queue.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <vector>

#include "common/config.h"
#include "common/file.h"
#include "common/file_choice.h"
#include "common/job_queue.h"
#include "common/queue_settings.h"
#include "common/request.h"
#include "common/response.h"
#include "ctl/checks.h"
#include "ctl/jobs.h"

namespace kiv::ctl {
namespace {

Admission admission = Admission::by_queue;
std::optional<Limits> rate_share;

/// Where a tool takes an option's number: in one word with it, or as the
/// word after it.
enum class OptionValue { joined, separate };

/// How a tool takes its speed limits in KiB/s: the option before the
/// number.
struct RateOption {
  std::string_view down, up;
  OptionValue value;
  std::string_view unit;
};
constexpr RateOption kWgetRates = {"--limit-rate=", "", OptionValue::joined, "k"};
constexpr RateOption kCtorrentRates = {"-D", "-U", OptionValue::separate, ""};
constexpr RateOption kAria2Rates = {"--max-download-limit=", "--max-upload-limit=",
                                    OptionValue::joined, "K"};

const RateOption& rate_option(const std::string& job_log, const JobRecord& job) {
  if (job_log.ends_with(".wgt")) return kWgetRates;
  return engine_of(job.source) == TorrentEngine::aria2c ? kAria2Rates : kCtorrentRates;
}

std::vector<std::string_view> words_of(std::string_view text, char separator) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    size_t end = std::min(text.find(separator), text.size());
    if (end > 0) words.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return words;
}

/// KiB/s of a tool's figure: a number with an optional k or m (wget also
/// takes bytes), at most kRateLimitMax; nothing for anything else.
std::optional<unsigned long> kib_of(std::string_view figure) {
  unsigned long scale = 0;  // bytes
  if (figure.ends_with('k') || figure.ends_with('K')) scale = 1;
  if (figure.ends_with('m') || figure.ends_with('M')) scale = 1024;
  if (scale > 0) figure.remove_suffix(1);
  if (figure.empty() || figure.size() > 9 ||
      figure.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  // In 64 bits, and no more than any limit can be: a box's long has 32.
  unsigned long long number = std::stoull(std::string(figure));
  number = scale > 0 ? number * scale : number / 1024;
  return (unsigned long)std::min(number, (unsigned long long)kRateLimitMax);
}

/// The value the last `option` among `words` gives, as the tool takes the
/// last one; 0 when none does.
unsigned long last_rate(const std::vector<std::string_view>& words, std::string_view option,
                        OptionValue value_word) {
  unsigned long rate = 0;
  if (option.empty()) return rate;
  bool separate = value_word == OptionValue::separate;
  for (size_t i = 0; i < words.size(); ++i) {
    std::optional<unsigned long> value;
    if (separate && words[i] == option && i + 1 < words.size())
      value = kib_of(words[i + 1]);
    else if (!separate && words[i].starts_with(option))
      value = kib_of(words[i].substr(option.size()));
    if (value) rate = *value;
  }
  return rate;
}

/// The limit a job runs with: its own, or its share where that is lower.
unsigned long effective(unsigned long own, unsigned long share) {
  if (share == 0) return own;
  return own == 0 ? share : std::min(own, share);
}

/// The share of the global limits for a start that computes its own: the
/// transfers running now, and this one.
Limits computed_share(const std::string& job_log) {
  QueueSettings settings = read_queue_settings();
  Limits limits = limits_in(settings, hour_mode(settings, time(nullptr)));
  if (limits.down == 0 && limits.up == 0) return {};
  size_t transfers = 1, torrents = job_log.ends_with(".tor");
  for (const QueueEntry& entry : queue_entries())
    if (!entry.pid.empty() && entry.log != job_log.substr(job_log.rfind('/') + 1)) {
      ++transfers;
      torrents += entry.torrent();
    }
  return divided(limits, transfers, torrents);
}

void queue_at(const std::string& record_path, const JobRecord& record, long long turn) {
  if (!write_queued(record_path, record, turn))
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

void set_rate_share(const Limits& share) { rate_share = share; }

Limits divided(const Limits& limits, size_t transfers, size_t torrents) {
  auto part = [](unsigned long limit, size_t among) {
    return limit == 0 || among == 0 ? limit : std::max(limit / among, 1UL);
  };
  return {part(limits.down, transfers), part(limits.up, torrents)};
}

std::string share_options(const std::string& job_log, const JobRecord& job) {
  if (!rate_share) rate_share = computed_share(job_log);
  const RateOption& tool = rate_option(job_log, job);
  std::vector<std::string_view> own = words_of(job.options, ' ');
  std::string options;
  for (auto [option, share] : {std::pair{tool.down, rate_share->down}, {tool.up, rate_share->up}}) {
    if (option.empty() || share == 0) continue;
    unsigned long rate = effective(last_rate(own, option, tool.value), share);
    if (!options.empty()) options += ' ';
    options += std::string(option) + (tool.value == OptionValue::separate ? " " : "") +
               std::to_string(rate) + std::string(tool.unit);
  }
  return options;
}

bool limits_outdated(const QueueEntry& entry) {
  if (!rate_share || entry.pid.empty()) return false;
  std::optional<std::string> line = read_file("/proc/" + entry.pid + "/cmdline");
  if (!line) return false;
  const RateOption& tool = rate_option(entry.log, entry.record);
  std::vector<std::string_view> running = words_of(*line, '\0');
  std::vector<std::string_view> own = words_of(entry.record.options, ' ');
  for (auto [option, share] : {std::pair{tool.down, rate_share->down}, {tool.up, rate_share->up}})
    if (!option.empty() && last_rate(running, option, tool.value) !=
                               effective(last_rate(own, option, tool.value), share))
      return true;
  return false;
}

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
  if (mode != HourMode::paused && slot_free(ahead.taken, settings, job_log))
    return false;
  // Listed like any job from now on: a queued job has its log too.
  UniqueFd log(open(job_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!log.valid() || !log.close()) message_answer("Unable to write trk file:", job_log);
  // A queued job restarted by the user keeps its place.
  long long turn = last_turn(entries);
  for (const QueueEntry& entry : entries)
    if (entry.queued() && entry.log == job_log.substr(job_log.rfind('/') + 1))
      turn = entry.record.turn;
  queue_at(record_of_log(job_log), job, turn);
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
    if (place > 0) queue_at(trkdir + record_of_log(job.log), job.record, first_turn(entries));
    return;
  }
  size_t other_place = to == "up" ? place - 1 : place + 1;
  // Already first or last.
  if ((to == "up" && place == 0) || other_place >= order.size()) return;
  const QueueEntry& other = *order[other_place];
  // The two change turns; a tie (never written so) is broken apart.
  long long turn = job.record.turn, other_turn = other.record.turn;
  if (turn == other_turn) (to == "up" ? other_turn : turn) -= 1;
  queue_at(trkdir + record_of_log(job.log), job.record, other_turn);
  queue_at(trkdir + record_of_log(other.log), other.record, turn);
}

}  // namespace kiv::ctl
