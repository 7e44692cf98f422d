#include "platform/uClock.h"

#include <atomic>
#include <ctime>
#include <mutex>
#include <optional>

#include "platform/uOs.h"

namespace tavik {

namespace {
std::mutex gPinLock;
std::optional<TDateTime> gPinned;
}  // namespace

TDateTime Now() {
  std::lock_guard<std::mutex> g(gPinLock);
  return gPinned ? *gPinned : TClock::now();
}

void PinClock(TDateTime t) {
  std::lock_guard<std::mutex> g(gPinLock);
  gPinned = t;
}

void AdvancePinnedClock(std::chrono::milliseconds d) {
  std::lock_guard<std::mutex> g(gPinLock);
  if (gPinned) *gPinned += d;
}

void UnpinClock() {
  std::lock_guard<std::mutex> g(gPinLock);
  gPinned.reset();
}

TLocalTime ToLocal(TDateTime t) {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  int64_t secs = ms / 1000;
  int64_t rem = ms % 1000;
  if (rem < 0) {
    rem += 1000;
    secs -= 1;
  }
  time_t tt = static_cast<time_t>(secs);
  tm parts{};
  long gmtOffset = 0;
  os::LocalTimeOf(tt, parts, gmtOffset);
  TLocalTime r;
  r.year = parts.tm_year + 1900;
  r.month = parts.tm_mon + 1;
  r.day = parts.tm_mday;
  r.hour = parts.tm_hour;
  r.minute = parts.tm_min;
  r.second = parts.tm_sec;
  r.msec = static_cast<int>(rem);
  r.weekday = parts.tm_wday;
  r.gmtOffsetSeconds = gmtOffset;
  r.isDst = parts.tm_isdst > 0;
  return r;
}

TDateTime FromLocal(int year, int month, int day, int hour, int minute, int second, int msec) {
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  time_t tt = mktime(&parts);
  return TClock::from_time_t(tt) + std::chrono::milliseconds(msec);
}

int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace tavik
