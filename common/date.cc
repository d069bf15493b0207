#include "common/date.h"

#include "common/text.h"

namespace kiv {

std::string local_date(time_t when) {
  struct tm t {};
  localtime_r(&when, &t);
  std::string text;
  text.reserve(24);
  const int fields[] = {t.tm_mday, t.tm_mon, t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec};
  const char separators[] = "// ::";
  for (int i = 0; i < 6; ++i) {
    if (i > 0) text += separators[i - 1];
    append_decimal(text, uint64_t(fields[i]));
  }
  return text;
}

}  // namespace kiv
