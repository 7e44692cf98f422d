#include "run/uRunBackup.h"

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uDiskIdentity.h"
#include "core/uJobSettings.h"
#include "core/uRotation.h"
#include "notify/uNotifier.h"
#include "platform/uSystem.h"
#include "platform/uUiServices.h"
#include "run/uHistoryRecorder.h"
#include "run/uReport.h"
#include "run/uRunLock.h"
#include "run/uVerify.h"

namespace tavik {

TBackupRunner::TBackupRunner(TQorvLogger& logger, TRunView& view, TSwitches switches)
    : logger_(logger), view_(view), switches_(switches), jobPath_(JobSettingsPath()) {
  fc_.ProgBar = &view_.Prog();
  fc_.KeepFileDate = true;
}

TBackupRunner::~TBackupRunner() = default;

bool TBackupRunner::RunBackup() {
  if (running_) return false;
  running_ = true;
  lastRunHadErrors_ = false;
  refusal_.clear();
  TRunLock lock;
  if (!lock.TryAcquire()) {
    RefuseRun(lock.RefusalText());
  } else {
    TLineOutput out(logger_, view_);
    try {
      Run(out);
    } catch (const std::exception& e) {
      // Whatever escaped the guarded stages (the log itself failing, say) still ends the run
      // properly: reported, released, and under the unattended switches the program exits.
      out.ReportFailure(e.what());
    }
    lastRunHadErrors_ = !out.ErrorLines().empty();
    job_.reset();
    notifier_.reset();
  }
  lock.Release();
  running_ = false;
  view_.RunEnded();
  if (switches_.Unattended())
    view_.RequestClose();
  else if (!refusal_.empty())
    Ui().ShowError(refusal_);
  else
    ShowInfo("Backup complete.");
  return true;
}

void TBackupRunner::RefuseRun(const std::string& reason) {
  // The run that holds the lock owns the log and the disk: this one only tells.
  lastRunHadErrors_ = true;
  refusal_ = reason;
  ErrorToStderr(reason);
  try {
    TNotifier n;
    LoadSettings(n);
    // The error mail alone: no completion notice may go out for a run that did nothing, and the
    // log attached would be the other run's.
    n.DiskChangeEmails.clear();
    n.BackupCompleteEmails.clear();
    n.LogEmails.clear();
    TRunValues values;
    values.refused = true;
    SendReport(n, {reason}, values, "");
  } catch (const std::exception& e) {
    ErrorToStderr(std::string("Mail not sent: ") + e.what());
  }
}

namespace {
// Runs one stage of a run; a failure becomes an "Error: " line and the run goes on, so the
// end stamp, the report and the unattended exit are never lost to an earlier failure. False
// when the stage failed.
template <typename F>
bool Guarded(TLineOutput& out, F&& stage) {
  try {
    stage();
    return true;
  } catch (const std::exception& e) {
    out.ReportFailure(e.what());
    return false;
  }
}

// One volume: its failure is its own "Error: " line and the next volume still runs. False when
// the backup disk has gone, which ends the run's volumes.
template <typename F>
bool VolumeAlone(TLineOutput& out, F&& rotate) {
  try {
    rotate();
  } catch (const EDiskGone& e) {
    Guarded(out, [&] { out.LogLine(e.what(), true); });
    return false;
  } catch (const std::exception& e) {
    out.ReportFailure(e.what());
  }
  return true;
}
}  // namespace

void TBackupRunner::Run(TLineOutput& out) {
  values_ = TRunValues{};
  idPath_.clear();
  // A trim keeps how this run began: its start line and the disk check, marked below.
  logger_.MarkRunStart();
  notifier_ = std::make_unique<TNotifier>();
  job_ = std::make_unique<TJobSettings>(jobPath_);
  THistoryRecorder history(out, *notifier_);

  Guarded(out, [&] {
    LoadSettings(*notifier_);
    values_.start = Now();
    view_.SetStarted(FormatDateTime("dd/mm/yyyy hh:mm", values_.start));
    out.LogLine("Start: " + FormatDateTime("dd/mm/yyyy HH:MM", values_.start), false);
    history.RunStarted(values_.start);
    // The run goes on with the defaults, but nobody must take them for the settings saved.
    if (const std::string problem = SettingsFileProblem(); !problem.empty()) out.ReportFailure(problem);
  });

  // A job file that is not there is a broken setup, not an empty job: it is an error line, and
  // neither a disk nor a volume is touched.
  const bool jobFound = FileExists(jobPath_);
  if (!jobFound) Guarded(out, [&] { out.LogLine(JobSettingsNotFound(jobPath_), true); });

  // Its own stage, so a run log that fails at the start line still finds the configured disk;
  // without the path the identity step is left out rather than run on the working folder.
  bool idPathRead = false;
  if (jobFound)
    Guarded(out, [&] {
      idPath_ = job_->IDPath();
      idPathRead = true;
    });

  // "IDPath" names the folder on the backup disk: when it is not there (the disk not mounted,
  // its mount point an empty folder of the system disk), nothing may be labelled, created or
  // copied. A disk that cannot be labelled or read (write-protected, a refused identity file)
  // stops the run before the volumes as well. The end stamp and the report still follow.
  bool diskReady = idPathRead;
  TDiskWatch disk(idPath_);
  const std::string missing =
      idPathRead && !idPath_.empty() ? BackupDiskMissing(idPath_, job_->SystemDiskAllowed()) : std::string();
  if (!missing.empty()) {
    Guarded(out, [&] { out.LogLine(missing, true); });
    diskReady = false;
  } else if (idPathRead && notifier_->IDDisk && idPath_.empty()) {
    // Without a folder there is no disk to label: the working folder is not one.
    Guarded(out, [&] { out.LogLine("IDPath is not set in " + job_->Path(), true); });
  } else if (idPathRead && notifier_->IDDisk) {
    diskReady = Guarded(out, [&] { CheckDiskIdentity(out, *notifier_, idPath_, Now(), values_); });
  }

  if (diskReady) history.DiskSeen(values_, idPath_);
  logger_.MarkHeadEnd();
  // Each volume on its own (a late image costs its own volume only); a disk gone stops them all.
  if (diskReady)
    Guarded(out, [&] {
      fc_.VerifyCopies = job_->VerifyCopies();
      const std::vector<TVolumeJob> volumes = job_->VolumeJobs();
      const std::vector<bool> refused = RefuseOverlappingFolders(out, volumes);
      std::vector<std::string> destinations;
      for (const TVolumeJob& v : volumes) destinations.push_back(v.Destination);
      disk.WatchDestinations(destinations);
      for (size_t i = 0; i < volumes.size(); ++i)
        if (!refused[i] && !VolumeAlone(out, [&] {
              history.Volume(volumes[i], [&] {
                const std::optional<TDateTime> newest = RotateVolume(out, fc_, *notifier_, volumes[i], &disk);
                CopyAgainAfterReadBack(out, volumes[i], history);
                return newest;
              });
            }))
          break;
    });

  Guarded(out, [&] {
    const TDateTime end = Now();
    out.LogLine("End: " + FormatDateTime("dd/mm/yyyy HH:MM", end), false);
    out.LogLine("Total Backup Time: " + ElapsedText(values_.start, end), false);
  });

  Guarded(out, [&] { out.ShowStatus("Checking to see if any alerts to send."); });
  // The mails and the ping read the log checked here, never whatever stands at its name later.
  const TLogAttachment log(RunLogFilePath(logger_));
  // Its own stage, so the mails still go when the log could not take the status line; a
  // server that cannot be reached ends the report with an "Error: " line, never a hang.
  Guarded(out, [&] {
    // A report mail that did not go out is the last thing the administrator would otherwise learn
    // of; the line keeps it in the log for the next mail that does.
    auto notSent = [&](const std::string& line) { out.ReportFailure(line); };
    SendReport(*notifier_, out.ErrorLines(), values_, log.Path(), notSent, history.ReportTables(Now()));
  });
  Guarded(out, [&] { history.RunEnded(Now(), values_, log.Path()); });

  Guarded(out, [&] {
    view_.SetFinished(FormatDateTime("dd/mm/yyyy hh:mm", Now()));
    out.ShowStatus("*** Done ***");
  });
}

}  // namespace tavik
