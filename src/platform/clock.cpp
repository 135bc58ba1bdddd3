#include "platform/clock.h"

#include <ctime>

namespace platform {

namespace {

constexpr int64_t kMsPerDay = 86400000;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

TLocalTime LocalNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  const time_t seconds = now.tv_sec;
  localtime_r(&seconds, &parts);
  return TLocalTime{parts.tm_year + 1900,
                    parts.tm_mon + 1,
                    parts.tm_mday,
                    parts.tm_hour,
                    parts.tm_min,
                    parts.tm_sec,
                    static_cast<int>(now.tv_nsec / 1000000)};
}

double ToDateTime(const TLocalTime& time) {
  static const int64_t kEpoch = DaysFromCivil(1899, 12, 30);
  const int64_t days = DaysFromCivil(time.Year, time.Month, time.Day) - kEpoch;
  const int64_t ms =
      ((time.Hour * 60LL + time.Minute) * 60 + time.Second) * 1000 + time.Millisecond;
  return static_cast<double>(days) + static_cast<double>(ms) / kMsPerDay;
}

double NowDateTime() { return ToDateTime(LocalNow()); }

int32_t MillisecondsOfDay() {
  const TLocalTime now = LocalNow();
  return ((now.Hour * 60 + now.Minute) * 60 + now.Second) * 1000 + now.Millisecond;
}

int32_t MillisecondsBetween(int32_t startOfDayMs, int32_t nowOfDayMs) {
  const int32_t elapsed = nowOfDayMs - startOfDayMs;
  return elapsed < 0 ? elapsed + static_cast<int32_t>(kMsPerDay) : elapsed;
}

}  // namespace platform
