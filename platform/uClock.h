#pragma once
// One clock for "now", so tests can pin weekdays, stamps and elapsed times.
#include <chrono>
#include <cstdint>

namespace tavik {

using TClock = std::chrono::system_clock;
using TDateTime = TClock::time_point;

// A local calendar time broken down, as the C library's zone data gives it.
struct TLocalTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int msec = 0;
  int weekday = 4;            // 0 Sunday .. 6 Saturday
  long gmtOffsetSeconds = 0;  // east of UTC positive
  bool isDst = false;
};

TDateTime Now();
// Fixes Now() at t until UnpinClock; AdvancePinnedClock moves the pinned value.
void PinClock(TDateTime t);
void AdvancePinnedClock(std::chrono::milliseconds d);
void UnpinClock();

TLocalTime ToLocal(TDateTime t);
// Interprets the fields (weekday ignored) as local time.
TDateTime FromLocal(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int msec = 0);

// Elapsed milliseconds of the monotonic clock, for time-outs: never pinned.
int64_t MonotonicMs();

}  // namespace tavik
