#include "run/uVerify.h"

#include <ostream>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uDiskIdentity.h"
#include "core/uExitStatus.h"
#include "core/uManifest.h"
#include "core/uRunOutput.h"
#include "core/uRunValues.h"
#include "history/uHistory.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"
#include "platform/uSystem.h"
#include "run/uReport.h"
#include "run/uRunLock.h"

namespace tavik {

namespace {

// No window: the command prints its own lines, the run log takes the rest.
struct TNoView : TRunView {
  TUnseenProgress bar;
  void AppendLog(const std::string&) override {}
  void SetStatus(const std::string&) override {}
  void SetStatus2(const std::string&) override {}
  void SetStarted(const std::string&) override {}
  void SetFinished(const std::string&) override {}
  TProgressTarget& Prog() override { return bar; }
  void ProcessMessages() override {}
  void RequestClose() override {}
};

class TVerifier {
 public:
  TVerifier(TLineOutput& log, std::ostream& out) : log_(log), out_(out) { fc_.KeepFileDate = true; }

  void Volume(const TVolumeJob& job) {
    const std::string folder = IncludeTrailingSeparator(job.Destination);
    if (!FolderExists(job.Destination)) {
      Failed(job.Destination + ": FAILED destination folder not found");
      return;
    }
    const std::string manifestPath = folder + TManifest::FileName;
    TManifest manifest;
    std::string why;
    if (!manifest.Read(folder, why)) {
      Failed(manifestPath + ": FAILED open or read (" + why + ")");
      return;
    }
    // A line it cannot use may have stood for a file: that file goes unchecked, as sha256sum -c
    // would not let it.
    for (const std::string& line : manifest.Unusable)
      Failed(manifestPath + ": FAILED " + line + " cannot be used");
    const std::string source = IncludeTrailingSeparator(job.Source);
    int err = 0;
    for (const auto& [name, entry] : manifest.Entries) {
      std::string hex;
      const bool read = TQorvFileCopier::FileSha256(folder + name, hex, err);
      ++files_;
      if (read && hex == entry) {
        Print(folder + name + ": OK");
        continue;
      }
      Failed(folder + name + (read ? ": FAILED" : ": FAILED open or read"));
      Repair(source + name, folder, name, entry);
    }
    // Files from before the manifest: their source, where it still holds them, vouches for them.
    // Every other file of the chain that is not checked fails the verification: nothing on the
    // disk goes unread while the summary says all is well.
    bool entered = false;
    size_t chainFiles = 0;
    const bool listed = !manifest.Entries.empty();
    for (const TFoundFile& f : ListFiles(folder + "*", true)) {
      if (!TManifest::ChainFile(f.name, job.Volume) || manifest.Entries.count(f.name)) continue;
      ++chainFiles;
      const std::string shown = folder + EscapeControls(f.name);
      if (!f.regular) {
        Failed(shown + ": FAILED not checked, " +
               (f.statErr ? SysErrorMessage(f.statErr) : std::string(TQorvFileCopier::NotRegularFileText)));
        continue;
      }
      if (!TManifest::Listable(f.name)) {
        Failed(shown + ": FAILED not checked, its name cannot stand in " + TManifest::FileName);
        continue;
      }
      std::string disk, original;
      const bool read = TQorvFileCopier::FileSha256(folder + f.name, disk, err);
      if (!TQorvFileCopier::FileSha256(source + f.name, original, err)) {
        Failed(shown + ": FAILED not checked, no entry and no source to compare with");
        continue;
      }
      ++files_;
      if (read && disk == original) {
        manifest.Entries[f.name] = disk;
        entered = true;
        Print(folder + f.name + ": OK");
        log_.LogLine("Entered in " + manifestPath + ": " + f.name, false);
      } else {
        Failed(folder + f.name + (read ? ": FAILED" : ": FAILED open or read") +
               " (differs from its source " + source + f.name + ")");
      }
    }
    // Files entered from their source were checked, but the disk came without the record that
    // lets any machine check it: that is told as a failure too.
    if (!listed && chainFiles + manifest.Unusable.size() > 0)
      Failed(manifestPath + (manifest.Found ? ": FAILED it lists no file" : ": FAILED missing"));
    if (entered) {
      try {
        manifest.Write(folder);
      } catch (const EQorvError& e) {
        Failed(e.Message());
      }
    }
  }

  int Files() const { return files_; }
  int Failures() const { return failures_; }
  int Repaired() const { return repaired_; }

 private:
  // Each line as soon as it is known, whatever standard output is: a long read-back shows its
  // progress, and one killed half-way has said what it checked.
  void Print(const std::string& line) {
    out_ << line << std::endl;
    log_.LogLine(line, false);
  }
  void Failed(const std::string& line) {
    ++failures_;
    out_ << line << std::endl;
    log_.LogLine(line, true);
  }
  // Copied again only from a source that still holds the bytes the entry names.
  void Repair(const std::string& sourcePath, const std::string& folder, const std::string& name,
              const std::string& entry) {
    std::string hex;
    int err = 0;
    if (!TQorvFileCopier::FileSha256(sourcePath, hex, err) || hex != entry) return;
    try {
      fc_.HashCopies = true;
      // Compared before the copy takes the name: a source changed since its check above leaves
      // the file on the disk as it was.
      fc_.ExpectedSha256 = entry;
      if (fc_.CopyFileTo(sourcePath, folder) == crCopied && fc_.LastSha256() == entry) {
        ++repaired_;
        Print("File repaired from its source: " + folder + name);
        return;
      }
      Failed(folder + name + ": not repaired, the copy from " + sourcePath + " did not match its entry");
    } catch (const std::exception& e) {
      Failed(folder + name + ": not repaired: " + e.what());
    }
  }

  TLineOutput& log_;
  std::ostream& out_;
  TQorvFileCopier fc_;
  int files_ = 0, failures_ = 0, repaired_ = 0;
};

}  // namespace

int VerifyCommand(std::ostream& out, std::ostream& err, const std::string& jobPath) {
  TRunLock lock;
  if (!lock.TryAcquire()) {
    err << "TavikBackupCopy: " << lock.RefusalText() << "\n";
    return ExitFailed;
  }
  TQorvLogger logger;
  logger.ConfigureLog(true, RunLogAppFolder, "");
  TNoView view;
  TLineOutput log(logger, view);
  TNotifier n;
  TVerifier verifier(log, out);
  std::string diskId;
  try {
    LoadSettings(n);
    log.LogLine("Verify: " + FormatDateTime("dd/mm/yyyy HH:MM", Now()), false);
    if (!FileExists(jobPath)) throw EQorvError(JobSettingsNotFound(jobPath));
    const TJobSettings job(jobPath);
    const std::string idPath = job.IDPath();
    if (const std::string missing = idPath.empty() ? "" : BackupDiskMissing(idPath, job.SystemDiskAllowed());
        !missing.empty())
      throw EQorvError(missing);
    if (!idPath.empty()) {
      try {
        diskId = ReadDiskID(IncludeTrailingSeparator(idPath) + IdentityFileName);
      } catch (const EQorvError&) {
        // An unlabelled disk is read back all the same; only its record needs the label.
      }
    }
    for (const TVolumeJob& v : job.VolumeJobs())
      if (v.Complete()) verifier.Volume(v);
  } catch (const std::exception& e) {
    log.ReportFailure(e.what());
    err << "TavikBackupCopy: " << e.what() << "\n";
  }
  const std::string summary = std::to_string(verifier.Files()) + " files read back, " +
                              std::to_string(verifier.Failures()) + " FAILED, " +
                              std::to_string(verifier.Repaired()) + " repaired from their source";
  out << summary << std::endl;
  const bool failed = !log.ErrorLines().empty();
  log.LogLine(summary, false);
  if (!diskId.empty()) {
    try {
      THistory(HistoryFilePath()).RecordVerification(diskId, Now(), verifier.Files(), verifier.Failures());
    } catch (const std::exception& e) {
      err << "TavikBackupCopy: " << e.what() << "\n";
    }
  }
  if (failed) {
    // The error mail alone: its lines name the failing files.
    try {
      n.DiskChangeEmails.clear();
      n.BackupCompleteEmails.clear();
      n.LogEmails.clear();
      SendReport(n, log.ErrorLines(), TRunValues{}, "");
    } catch (const std::exception& e) {
      err << "TavikBackupCopy: mail not sent: " << e.what() << "\n";
    }
  }
  return failed ? ExitFailed : ExitOk;
}

}  // namespace tavik
