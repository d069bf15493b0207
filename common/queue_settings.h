#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// The queue's settings: how many transfers run at once, the global speed
// limits and the week schedule. One small file of the box's own in the job
// directory (kiv.conf stays the owner's), written only by kiv-ctl?cmd=queue
// and read by kiv-ctl, kiv-list and kivd. The defaults are the box without a
// queue: everything starts at once, no limits, full speed every hour.
namespace kiv {

/// In the job directory; no job file has this name (see kResumedNoticeName).
inline constexpr const char* kQueueSettingsName = "_queue";
/// The highest speed limit anything takes, in KiB/s (about 1 GiB/s).
inline constexpr unsigned long kRateLimitMax = 1048576;
/// The most transfers max_active and max_torrents may name.
inline constexpr unsigned kQueueCountMax = 1000;
/// One letter per hour of the week, Monday 00:00 first, in local time.
inline constexpr size_t kWeekHours = 168;

/// What an hour of the week allows.
enum class HourMode : char {
  full = 'f',     // full speed: the global limits
  limited = 'l',  // the alternative limits
  paused = 'p',   // nothing of the queue runs
};

struct QueueSettings {
  unsigned max_active = 0;    // transfers running at once, 0 = no limit
  unsigned max_torrents = 0;  // of those torrents, 0 = no own limit
  unsigned seeding_counts = 0;  // 1: a seeding torrent takes a torrent slot
  unsigned long down = 0, up = 0;          // KiB/s, 0 = none
  unsigned long alt_down = 0, alt_up = 0;  // in limited hours
  std::string week = std::string(kWeekHours, char(HourMode::full));

  bool operator==(const QueueSettings&) const = default;
};

/// Sets the field `name` of `settings` from `value`, checked strictly
/// (digits only within its range, "0"/"1", 168 letters f/l/p). On refusal
/// the message that says why, naming the field and ending in ":" for the
/// value to follow; nothing is changed then. An unknown name is refused too.
std::optional<std::string> set_queue_field(QueueSettings& settings, std::string_view name,
                                           std::string_view value);

/// The names of the settings' fields, in the file's order.
inline constexpr std::string_view kQueueFields[] = {
    "max_active", "max_torrents", "seeding_counts", "down", "up", "alt_down", "alt_up", "week"};

/// The file's text: a "name=value" line per field.
std::string queue_settings_text(const QueueSettings& settings);

/// Reads a file's text back; nothing unless every line is a known field
/// with a valid value (a hand-edited or cut file is never half applied).
std::optional<QueueSettings> parse_queue_settings(std::string_view text);

/// The box's settings: the file's, or the defaults when there is none or
/// it does not read whole.
QueueSettings read_queue_settings();

/// Replaces the file atomically. False with errno on failure.
bool write_queue_settings(const QueueSettings& settings);

/// The mode of the hour of the week that holds `when`, in local time.
HourMode hour_mode(const QueueSettings& settings, time_t when);

/// The limits in force in an hour of `mode`, KiB/s, 0 = none.
struct Limits {
  unsigned long down = 0, up = 0;
};
Limits limits_in(const QueueSettings& settings, HourMode mode);

}  // namespace kiv
