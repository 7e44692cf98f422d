#pragma once
// One backup run from start stamp to "*** Done ***", GUI-free.
#include <memory>
#include <string>

#include "app/uRunOutput.h"
#include "app/uSwitches.h"
#include "platform/uClock.h"

namespace tavik {

class TQorvLogger;

// What the disk identity step learns and the report tells.
struct TRunValues {
  TDateTime start{};
  std::string foundId;
  std::string expectedId;
  std::string nextDisk;
  bool diskMismatch = false;
};

class TBackupRunner {
 public:
  TBackupRunner(TQorvLogger& logger, TRunView& view, TSwitches switches);
  ~TBackupRunner();

  // A start while a run is in progress (a second click, a timer tick inside a run) is
  // ignored and answers false: runs never nest.
  bool RunBackup();
  bool Running() const { return running_; }
  // The last run wrote at least one error line (or failed outright).
  bool LastRunHadErrors() const { return lastRunHadErrors_; }
  const TRunValues& Values() const { return values_; }

 private:
  void Run(TLineOutput& out);

  TQorvLogger& logger_;
  TRunView& view_;
  TSwitches switches_;
  bool running_ = false;
  bool lastRunHadErrors_ = false;
  TRunValues values_;
};

// "HH:MM:SS" of an elapsed time, hours taken modulo 24.
std::string ElapsedText(TDateTime start, TDateTime end);

}  // namespace tavik
