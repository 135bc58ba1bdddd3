#pragma once

#include <cstdint>

namespace platform {

struct TLocalTime {
  int Year;
  int Month;  // 1..12
  int Day;    // 1..31
  int Hour;
  int Minute;
  int Second;
  int Millisecond;
};

// The local wall-clock time, to the millisecond.
TLocalTime LocalNow();

// Local date and time as days since 1899-12-30, the time of day as the fraction.
double NowDateTime();
double ToDateTime(const TLocalTime& time);

// Milliseconds since local midnight, 0 .. 86,399,999.
int32_t MillisecondsOfDay();

// Milliseconds from one time of day to a later one, across midnight when it lies between them.
int32_t MillisecondsBetween(int32_t startOfDayMs, int32_t nowOfDayMs);

}  // namespace platform
