#include "run/uVerify.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
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
#include "run/uHistoryRecorder.h"
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

// What a file's repair could not overcome, for the mail and the history.
std::string SourceProblem(const std::string& sourcePath, int err) {
  return err == ENOENT ? "its source " + sourcePath + " is gone"
                       : "its source " + sourcePath + " cannot be read: " + SysErrorMessage(err);
}

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
      TVerifyFailure& f =
          Failed(folder + name + (read ? ": FAILED" : ": FAILED open or read"), folder + name, source + name);
      Repair(f, folder, entry);
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
      const std::string shown = folder + EscapeControls(f.name), path = folder + f.name;
      if (!f.regular) {
        Failed(
            shown + ": FAILED not checked, " +
                (f.statErr ? SysErrorMessage(f.statErr) : std::string(TQorvFileCopier::NotRegularFileText)),
            path, source + f.name, "it is not a file that can be read back");
        continue;
      }
      if (!TManifest::Listable(f.name)) {
        Failed(shown + ": FAILED not checked, its name cannot stand in " + TManifest::FileName, path,
               source + f.name, "its name cannot stand in " + std::string(TManifest::FileName));
        continue;
      }
      std::string disk, original;
      const bool read = TQorvFileCopier::FileSha256(path, disk, err);
      if (!TQorvFileCopier::FileSha256(source + f.name, original, err)) {
        Failed(shown + ": FAILED not checked, no entry and no source to compare with", path, source + f.name,
               "no entry and no source to compare with");
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
                   " (differs from its source " + source + f.name + ")",
               path, source + f.name, "no entry tells which of the copy and its source is right");
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

  // A failure that ended the read-back before or between volumes.
  void Problem(const std::string& line) {
    failed_.push_back({line, "", "", TVerifyFailure::NotRepaired, ""});
  }

  int Files() const { return files_; }
  int Repaired() const {
    return static_cast<int>(std::count_if(failed_.begin(), failed_.end(), [](const TVerifyFailure& f) {
      return f.repair == TVerifyFailure::RepairedThen;
    }));
  }
  const std::vector<TVerifyFailure>& Failures() const { return failed_; }

 private:
  // Each line as soon as it is known, whatever standard output is: a long read-back shows its
  // progress, and one killed half-way has said what it checked.
  void Print(const std::string& line) {
    out_ << line << std::endl;
    log_.LogLine(line, false);
  }
  TVerifyFailure& Failed(const std::string& line, const std::string& path = "",
                         const std::string& source = "", const std::string& reason = "") {
    out_ << line << std::endl;
    log_.LogLine(line, true);
    failed_.push_back({line, path, source, TVerifyFailure::NotRepaired, reason});
    return failed_.back();
  }
  // Copied again only from a source that still holds the bytes the entry names.
  void Repair(TVerifyFailure& f, const std::string& folder, const std::string& entry) {
    f.reason = CopyAgainFromSource(fc_, f.source, folder, entry);
    if (f.reason.empty()) {
      f.repair = TVerifyFailure::RepairedThen;
      Print("File repaired from its source: " + f.path);
    } else {
      Print(f.path + ": NOT repaired: " + f.reason);
    }
  }

  TLineOutput& log_;
  std::ostream& out_;
  TQorvFileCopier fc_;
  int files_ = 0;
  std::vector<TVerifyFailure> failed_;
};

// What the error mail says: the disk, the count, then each failure with what became of it.
std::vector<std::string> MailLines(const std::string& disk, const TVerifier& v, const std::string& summary) {
  std::vector<std::string> lines = {"Read-back of disk " + disk + ": " + summary};
  for (const TVerifyFailure& f : v.Failures()) {
    if (f.path.empty())
      lines.push_back(f.line);
    else if (f.repair == TVerifyFailure::RepairedThen)
      lines.push_back(f.path + ": repaired from its source");
    else
      lines.push_back(f.path + ": NOT repaired: " + f.reason);
  }
  return lines;
}

}  // namespace

std::string CopyAgainFromSource(TQorvFileCopier& fc, const std::string& sourcePath, const std::string& folder,
                                const std::string& entry) {
  std::string hex;
  int err = 0;
  if (!TQorvFileCopier::FileSha256(sourcePath, hex, err)) return SourceProblem(sourcePath, err);
  if (hex != entry) return "its source " + sourcePath + " no longer holds the bytes of its entry";
  const bool hashes = fc.HashCopies;
  const std::string expected = fc.ExpectedSha256;
  std::string why;
  try {
    fc.HashCopies = true;
    fc.ExpectedSha256 = entry;
    if (fc.CopyFileTo(sourcePath, folder) != crCopied || fc.LastSha256() != entry)
      why = "the copy from " + sourcePath + " did not match its entry";
  } catch (const std::exception& e) {
    why = e.what();
  }
  fc.HashCopies = hashes;
  fc.ExpectedSha256 = expected;
  return why;
}

void CopyAgainAfterReadBack(TRunOutput& out, const TVolumeJob& job, THistoryRecorder& history) {
  const std::vector<TVerifyFailure> failed = history.UnrepairedReadBacks(job);
  if (failed.empty()) return;
  const std::string folder = IncludeTrailingSeparator(job.Destination);
  TManifest manifest;
  std::string why;
  if (!manifest.Read(folder, why)) return;  // the rotation has said why
  TQorvFileCopier fc;
  fc.KeepFileDate = true;
  for (const TVerifyFailure& f : failed) {
    // Only a name that leads nowhere at all is gone: a dangling link still stands on the disk.
    std::error_code ec;
    if (std::filesystem::symlink_status(f.path, ec).type() == std::filesystem::file_type::not_found) {
      history.CopiedAgain(f.path);
      continue;
    }
    const auto entry = manifest.Entries.find(ExtractFileName(f.path));
    if (entry == manifest.Entries.end()) continue;
    const std::string problem = CopyAgainFromSource(fc, f.source, folder, entry->second);
    if (problem.empty()) {
      out.LogLine("Copied again after its failed read-back: " + f.path, false);
      history.CopiedAgain(f.path);
    } else {
      out.LogLine(WarningPrefix + ("the failed read-back of " + f.path + " still stands: " + problem), false);
    }
  }
}

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
  THistoryVerification record;
  record.start = Now();
  std::string disk;  // as the mail names it: its ID, else where it was looked for
  try {
    LoadSettings(n);
    log.LogLine("Verify: " + FormatDateTime("dd/mm/yyyy HH:MM", record.start), false);
    PingStartOf(log, n.VerifyPingURL);
    if (!FileExists(jobPath)) throw EQorvError(JobSettingsNotFound(jobPath));
    const TJobSettings job(jobPath);
    const std::string idPath = job.IDPath();
    disk = idPath;
    if (const std::string missing = idPath.empty() ? "" : BackupDiskMissing(idPath, job.SystemDiskAllowed());
        !missing.empty())
      throw EQorvError(missing);
    if (!idPath.empty()) {
      try {
        record.disk = ReadDiskID(IncludeTrailingSeparator(idPath) + IdentityFileName);
        if (!record.disk.empty()) disk = record.disk;
      } catch (const EQorvError&) {
        // An unlabelled disk is read back all the same; only its record needs the label.
      }
    }
    for (const TVolumeJob& v : job.VolumeJobs())
      if (v.Complete()) verifier.Volume(v);
  } catch (const std::exception& e) {
    log.ReportFailure(e.what());
    verifier.Problem(e.what());
    err << "TavikBackupCopy: " << e.what() << "\n";
  }
  const int failures = static_cast<int>(verifier.Failures().size());
  const std::string summary = std::to_string(verifier.Files()) + " files read back, " +
                              std::to_string(failures) + " FAILED, " + std::to_string(verifier.Repaired()) +
                              " repaired from their source";
  out << summary << std::endl;
  const bool failed = !log.ErrorLines().empty();
  log.LogLine(summary, false);
  record.end = Now();
  record.files = verifier.Files();
  record.failures = failures;
  record.repaired = verifier.Repaired();
  record.exitStatus = failed ? ExitFailed : ExitOk;
  record.failed = verifier.Failures();
  std::unique_ptr<THistory> history;
  if (!record.disk.empty()) {
    try {
      history = std::make_unique<THistory>(HistoryFilePath());
      history->RecordVerification(record);
    } catch (const std::exception& e) {
      history.reset();
      log.LogLine(WarningPrefix + std::string("read-back not recorded: ") + e.what(), false);
      err << "TavikBackupCopy: " << e.what() << "\n";
    }
  }
  const std::string logFile = RunLogFilePath(logger);
  // The metrics stand for the last night's run too: without one in the history they would tell of
  // a run that never was.
  bool anyRun = false;
  try {
    anyRun = history && history->LastRun();
  } catch (const std::exception&) {
    anyRun = false;
  }
  TNotifier monitoring = n;
  if (!anyRun) {
    monitoring.MetricsFile.clear();
    monitoring.PushgatewayURL.clear();
  }
  TellMonitoringEnd(log, monitoring, history.get(), TMetrics{}, n.VerifyPingURL, record.exitStatus, logFile);
  if (failed) {
    // The error mail alone: it names the disk and each failed file with what became of it.
    try {
      n.DiskChangeEmails.clear();
      n.BackupCompleteEmails.clear();
      n.LogEmails.clear();
      SendReport(n, MailLines(disk.empty() ? "(no disk)" : disk, verifier, summary), TRunValues{}, logFile);
    } catch (const std::exception& e) {
      err << "TavikBackupCopy: mail not sent: " << e.what() << "\n";
    }
  }
  return record.exitStatus;
}

}  // namespace tavik
