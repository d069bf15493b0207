#pragma once

#include <ctime>
#include <string>

namespace kiv {

/// `when` in local time as "day/month/year hour:minute:second", month
/// counted from 0 and nothing zero-padded: 7 December 2026 01:05:09 is
/// "7/11/2026 1:5:9".
std::string local_date(time_t when);

}  // namespace kiv
