#include "common/date.h"

#include <cstdio>

namespace kiv {

std::string local_date(time_t when) {
  struct tm t {};
  localtime_r(&when, &t);
  char text[96];
  snprintf(text, sizeof text, "%d/%d/%d %d:%d:%d", t.tm_mday, t.tm_mon, t.tm_year + 1900,
           t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

}  // namespace kiv
