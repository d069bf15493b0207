#include "common/queue_settings.h"

#include <charconv>

#include "common/config.h"
#include "common/file.h"

namespace kiv {
namespace {

/// A plain decimal number from 0 to `most`: digits only, no sign, no
/// leading zero, nothing else (the value reaches tools' command lines).
std::optional<unsigned long> number_within(std::string_view text, unsigned long most) {
  unsigned long number = 0;
  if (text.empty() || (text.size() > 1 && text[0] == '0') ||
      text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size() || number > most)
    return std::nullopt;
  return number;
}

bool is_week(std::string_view text) {
  return text.size() == kWeekHours && text.find_first_not_of("flp") == std::string_view::npos;
}

}  // namespace

std::optional<std::string> set_queue_field(QueueSettings& settings, std::string_view name,
                                           std::string_view value) {
  std::string field(name);
  auto refused = [&](std::string_view rule) {
    return "Invalid " + field + " (" + std::string(rule) + "):";
  };
  if (name == "week") {
    if (!is_week(value))
      return refused(std::to_string(kWeekHours) + " letters f, l or p, Monday 00:00 first");
    settings.week = value;
    return std::nullopt;
  }
  struct Counted {
    std::string_view name;
    unsigned* into;
    unsigned most;
  } counts[] = {{"max_active", &settings.max_active, kQueueCountMax},
                {"max_torrents", &settings.max_torrents, kQueueCountMax},
                {"seeding_counts", &settings.seeding_counts, 1}};
  for (const Counted& count : counts)
    if (name == count.name) {
      std::optional<unsigned long> number = number_within(value, count.most);
      if (!number) return refused("0 to " + std::to_string(count.most));
      *count.into = unsigned(*number);
      return std::nullopt;
    }
  struct Rate {
    std::string_view name;
    unsigned long* into;
  } rates[] = {{"down", &settings.down},
               {"up", &settings.up},
               {"alt_down", &settings.alt_down},
               {"alt_up", &settings.alt_up}};
  for (const Rate& rate : rates)
    if (name == rate.name) {
      std::optional<unsigned long> number = number_within(value, kRateLimitMax);
      if (!number) return refused("KiB/s, 0 to " + std::to_string(kRateLimitMax));
      *rate.into = *number;
      return std::nullopt;
    }
  return "Unknown queue setting " + field + ":";
}

std::string queue_settings_text(const QueueSettings& settings) {
  const QueueSettings& s = settings;
  std::string values[] = {std::to_string(s.max_active), std::to_string(s.max_torrents),
                          std::to_string(s.seeding_counts), std::to_string(s.down),
                          std::to_string(s.up), std::to_string(s.alt_down),
                          std::to_string(s.alt_up), s.week};
  std::string text;
  for (size_t i = 0; i < std::size(kQueueFields); ++i)
    text += std::string(kQueueFields[i]) + "=" + values[i] + "\n";
  return text;
}

std::optional<QueueSettings> parse_queue_settings(std::string_view text) {
  QueueSettings settings;
  if (!text.empty() && !text.ends_with('\n')) return std::nullopt;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    size_t equals = line.find('=');
    if (equals == std::string_view::npos ||
        set_queue_field(settings, line.substr(0, equals), line.substr(equals + 1)))
      return std::nullopt;
  }
  return settings;
}

QueueSettings read_queue_settings() {
  std::optional<std::string> text = read_file(config().trkdir + kQueueSettingsName);
  std::optional<QueueSettings> settings = text ? parse_queue_settings(*text) : std::nullopt;
  return settings.value_or(QueueSettings{});
}

bool write_queue_settings(const QueueSettings& settings) {
  return replace_file(config().trkdir + kQueueSettingsName, queue_settings_text(settings), 0644);
}

HourMode hour_mode(const QueueSettings& settings, time_t when) {
  struct tm local;
  if (!localtime_r(&when, &local)) return HourMode::full;
  // tm_wday counts from Sunday; the week here begins on Monday.
  size_t hour = size_t((local.tm_wday + 6) % 7) * 24 + size_t(local.tm_hour);
  return HourMode(settings.week.at(hour));
}

Limits limits_in(const QueueSettings& settings, HourMode mode) {
  if (mode == HourMode::limited) return {settings.alt_down, settings.alt_up};
  return {settings.down, settings.up};
}

}  // namespace kiv
