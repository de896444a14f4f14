// Calendar dates from a count of days (the proleptic Gregorian calendar,
// the algorithm of Howard Hinnant's "chrono-Compatible Low-Level Date
// Algorithms"): no library call, so the same text on every system and no
// time zone involved.
#include "app/utc_time.h"

#include <cstdio>

namespace qv {

namespace {

struct Civil {
  std::int64_t year;
  unsigned month, day, hour, minute, second;
};

Civil civilOf(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;  // from 1970-01-01 to 0000-03-01
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;  // March is 0
  Civil c{};
  c.day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  c.month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  c.year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (c.month <= 2 ? 1 : 0);
  c.hour = static_cast<unsigned>(rest / 3600);
  c.minute = static_cast<unsigned>(rest % 3600 / 60);
  c.second = static_cast<unsigned>(rest % 60);
  return c;
}

std::string format(std::int64_t seconds, const char* pattern) {
  if (seconds == 0) return {};
  const Civil c = civilOf(seconds);
  char text[40];
  std::snprintf(text, sizeof text, pattern, static_cast<long long>(c.year), c.month, c.day, c.hour,
                c.minute, c.second);
  return text;
}

}  // namespace

std::string UtcText(std::int64_t seconds) {
  return format(seconds, "%04lld-%02u-%02uT%02u:%02u:%02uZ");
}

std::string UtcStamp(std::int64_t seconds) {
  return format(seconds, "%04lld%02u%02uT%02u%02u%02uZ");
}

}  // namespace qv
