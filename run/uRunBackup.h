#pragma once
// One backup run from start stamp to "*** Done ***", GUI-free.
#include <memory>
#include <string>

#include "QorvLib/uQorvFileCopier.h"
#include "core/uRunOutput.h"
#include "core/uRunValues.h"
#include "platform/uClock.h"
#include "run/uSwitches.h"

namespace tavik {

class TQorvLogger;
class TNotifier;
class TJobSettings;

class TBackupRunner {
 public:
  TBackupRunner(TQorvLogger& logger, TRunView& view, TSwitches switches);
  ~TBackupRunner();

  // A start while a run is in progress (a second click, a timer tick inside a run) is
  // ignored and answers false: runs never nest. A start while another process runs a backup
  // touches nothing, says so (standard error, the error mail, the window's box) and counts
  // as a run with errors.
  bool RunBackup();
  bool Running() const { return running_; }
  // The last run wrote at least one error line (or failed outright).
  bool LastRunHadErrors() const { return lastRunHadErrors_; }
  const TRunValues& Values() const { return values_; }
  // The copier the run copies image files with; its progress bar is the window's.
  TQorvFileCopier& FC() { return fc_; }
  // Where the job settings are read from; the program's own ".ini" unless a test says otherwise.
  void SetJobSettingsPath(const std::string& path) { jobPath_ = path; }

 private:
  void Run(TLineOutput& out);
  // Another run holds the lock: say so on standard error and in the error mail, touch nothing.
  void RefuseRun(const std::string& reason);

  TQorvLogger& logger_;
  TRunView& view_;
  TSwitches switches_;
  TQorvFileCopier fc_;
  std::string jobPath_;
  // Live for one run only.
  std::unique_ptr<TNotifier> notifier_;
  std::unique_ptr<TJobSettings> job_;
  std::string idPath_;
  bool running_ = false;
  bool lastRunHadErrors_ = false;
  std::string refusal_;  // why the last start did not run, for the window's box
  TRunValues values_;
};

}  // namespace tavik
