#include "common/queue_settings.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

TEST(QueueSettings, FileReadsBackAndDefaultsChangeNothing) {
  QueueSettings settings;
  EXPECT_EQ(queue_settings_text(settings),
            "max_active=0\nmax_torrents=0\nseeding_counts=0\ndown=0\nup=0\nalt_down=0\nalt_up=0\n"
            "week=" + std::string(kWeekHours, 'f') + "\n");
  settings = {2, 1, 1, 300, 40, 1048576, 7, std::string(100, 'p') + std::string(68, 'l')};
  EXPECT_EQ(parse_queue_settings(queue_settings_text(settings)), settings);
  // Whole or not at all: a cut file, a stray line, a bad value.
  std::string text = queue_settings_text(settings);
  for (std::string bad : {text.substr(0, text.size() - 1), text + "x=1\n", text + "down=01\n",
                          std::string("max_active\n")})
    EXPECT_EQ(parse_queue_settings(bad), std::nullopt) << bad;
  EXPECT_EQ(parse_queue_settings(""), QueueSettings{});
}

TEST(QueueSettings, HourOfTheWeekFromMondayInLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  QueueSettings settings;
  settings.week[0] = 'p';                // Monday 00:00
  settings.week[6 * 24 + 23] = 'l';      // Sunday 23:00
  EXPECT_EQ(hour_mode(settings, 1765152000), HourMode::paused);   // Mon 8 Dec 2025 00:00
  EXPECT_EQ(hour_mode(settings, 1765152000 - 1), HourMode::limited);
  EXPECT_EQ(hour_mode(settings, 1765152000 + 3600), HourMode::full);
  settings.alt_down = 5;
  EXPECT_EQ(limits_in(settings, HourMode::limited).down, 5u);
  EXPECT_EQ(limits_in(settings, HourMode::full).down, 0u);
}

}  // namespace
}  // namespace kiv
