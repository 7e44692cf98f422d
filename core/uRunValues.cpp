#include "core/uRunValues.h"

#include <chrono>
#include <cstdio>

namespace tavik {

std::string ElapsedText(TDateTime start, TDateTime end) {
  using namespace std::chrono;
  long long secs = duration_cast<seconds>(end - start).count();
  if (secs < 0) secs = 0;  // a clock set back during the run must not print a negative time
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", (secs / 3600) % 24, (secs / 60) % 60, secs % 60);
  return buf;
}

}  // namespace tavik
