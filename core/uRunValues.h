#pragma once
// What a run learns as it goes and what every room that tells of a run shares: the values the
// disk's identity step fills and the report and the history tell, the elapsed time as the log
// shows it, and where run logs live.
#include <string>

#include "platform/uClock.h"

namespace tavik {

// The folder below the all-users data folder that holds the run logs.
inline constexpr const char* RunLogAppFolder = "TavikShadowCopy";

// What the disk identity step learns and the report tells.
struct TRunValues {
  TDateTime start{};
  std::string foundId;
  std::string expectedId;
  std::string nextDisk;
  bool diskMismatch = false;
  bool refused = false;  // the run could not start (the lock), so it made no backup
};

// "HH:MM:SS" of an elapsed time, hours taken modulo 24.
std::string ElapsedText(TDateTime start, TDateTime end);

}  // namespace tavik
