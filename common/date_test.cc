#include "common/date.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace kiv {
namespace {

// Local time follows TZ; each case pins it and puts it back.
class LocalDate : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    if (tz) saved_ = tz;
    had_ = tz != nullptr;
  }
  void TearDown() override {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static std::string in_zone(const char* zone, time_t when) {
    setenv("TZ", zone, 1);
    tzset();
    return local_date(when);
  }

 private:
  bool had_ = false;
  std::string saved_;
};

TEST_F(LocalDate, MonthFromZeroNoPadding) {
  // 2026-12-07 01:05:09 UTC
  EXPECT_EQ(in_zone("UTC0", 1796605509), "7/11/2026 1:5:9");
  // 2026-01-01 00:00:00 UTC: January is 0, midnight is 0:0:0.
  EXPECT_EQ(in_zone("UTC0", 1767225600), "1/0/2026 0:0:0");
  EXPECT_EQ(in_zone("UTC0", 1767225599), "31/11/2025 23:59:59");
}

TEST_F(LocalDate, FollowsTimeZone) {
  EXPECT_EQ(in_zone("XXX-2", 1767225599), "1/0/2026 1:59:59");
}

}  // namespace
}  // namespace kiv
