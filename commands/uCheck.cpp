#include "commands/uCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <tuple>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "commands/uSettingsCommands.h"
#include "core/uDiskIdentity.h"
#include "core/uExitStatus.h"
#include "core/uJobSettings.h"
#include "core/uRotation.h"
#include "core/uRunOutput.h"
#include "history/uMonitoring.h"
#include "notify/uNotifier.h"
#include "platform/uClock.h"
#include "platform/uErrors.h"
#include "platform/uIniFile.h"
#include "platform/uSystem.h"
#include "run/uHistoryRecorder.h"

namespace tavik {

namespace {

int64_t BytesOf(const std::string& path, bool followLinks) {
  struct stat st {};
  const int r = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  return r == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

std::string BytesText(int64_t bytes) {
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

// The lines a run would write: only its error lines are shown, each as the run would write it.
class TCheckOutput : public TRunOutput {
 public:
  explicit TCheckOutput(std::ostream& out) : out_(out) {}
  void LogLine(const std::string& text, bool isError) override {
    if (isError) Error(text);
  }
  void ShowStatus(const std::string&) override {}
  TProgressTarget& Prog() override { return prog_; }
  void Error(const std::string& line) {
    ++errors_;
    out_ << "  error: " << line << "\n";
  }
  void Note(const std::string& line) { out_ << "  " << line << "\n"; }
  // What a run would skip with a warning line, its outcome unchanged.
  void Warning(const std::string& line) { out_ << "  warning: " << line << "\n"; }
  int Errors() const { return errors_; }

 private:
  TUnseenProgress prog_;
  std::ostream& out_;
  int errors_ = 0;
};

// The rotation's actions, told instead of done: the plan is what the run's own decisions would do.
class TPlanActions : public TRotationActions {
 public:
  explicit TPlanActions(std::ostream& out) : out_(out) {}
  bool ChangesTheDisk() const override { return false; }
  int Delete(const std::string& path) override {
    const int64_t bytes = BytesOf(path, false);
    out_ << "  would delete " << path << " (" << BytesText(bytes) << ")\n";
    ++deletes_;
    deleteBytes_ += bytes;
    return 0;
  }
  TCopyResult Copy(TQorvFileCopier&, const std::string& source, const std::string& folder) override {
    const int64_t bytes = BytesOf(source, true);
    out_ << "  would copy " << source << " -> " << RemoveTrailingSeparator(folder) << " (" << BytesText(bytes)
         << ")\n";
    ++copies_;
    copyBytes_ += bytes;
    return crCopied;
  }
  bool CreateFolder(const std::string& folder, int) override {
    out_ << "  would create the folder " << folder << "\n";
    return true;
  }
  std::string Summary() const {
    return "A run would delete " + std::to_string(deletes_) + (deletes_ == 1 ? " file (" : " files (") +
           BytesText(deleteBytes_) + ") and copy " + std::to_string(copies_) +
           (copies_ == 1 ? " file (" : " files (") + BytesText(copyBytes_) + ")";
  }

 private:
  std::ostream& out_;
  int deletes_ = 0, copies_ = 0;
  int64_t deleteBytes_ = 0, copyBytes_ = 0;
};

// Names the keys of file that nothing reads and the known keys it leaves to their defaults.
void CheckKeys(TCheckOutput& out, const std::string& file, const std::vector<std::string>& known,
               const std::vector<std::string>& wanted) {
  const std::vector<std::pair<std::string, std::string>> keys = ProfileKeys(file);
  auto has = [&](const std::string& key) {
    for (const auto& [section, k] : keys)
      if (SameText(k, key) || (SameText(key, "Volume") && SameText(k, "Volumne"))) return true;
    return false;
  };
  for (const auto& [section, key] : keys) {
    bool knownKey = false;
    for (const std::string& k : known) knownKey = knownKey || SameText(k, key);
    if (!knownKey) out.Note("unknown key " + key + " in [" + section + "]: no run reads it");
  }
  std::string missing;
  for (const std::string& k : wanted)
    if (!has(k)) missing += (missing.empty() ? "" : ", ") + k;
  if (!missing.empty()) out.Note("not set, a run takes the default: " + missing);
}

int64_t FreeBytes(const std::string& folder) {
  int64_t free = 0, total = 0;
  return DiskSpace(folder, free, total) ? free : -1;
}

// The run's identity step, read only: what it would label, forget or find. True when the disk
// is not today's.
bool CheckIdentity(TCheckOutput& out, const TNotifier& n, const std::string& idPath) {
  const int today = WeekdayIndex(Now());
  const std::string file = IdentityFilePath(idPath);
  if (!FileExists(file)) {
    out.Note("would label the disk " + ScheduledID(n, today) + " (" + file + ")");
    return false;
  }
  const std::string found = ReadDiskID(file);
  if (found.empty()) {
    out.Note("would delete the empty identity file " + file + " (the next run labels the disk)");
    return false;
  }
  if (!CheckFlag(n, today)) {
    out.Note("Disk ID " + found + " (today's disk is not checked)");
    return false;
  }
  const std::string expected = ScheduledID(n, today);
  const bool wrong = !SameText(found, expected);
  out.Note(wrong ? "Disk ID INCORRRECT: ID = " + found + ", Should be: " + expected
                 : "Disk ID " + found + ": today's disk");
  if (const std::string next = NextDisk(n, today); !next.empty()) out.Note("Next Disk is: " + next);
  return wrong;
}

// What the monitoring would hear, and what a run would skip with a warning. Nothing is sent: a
// ping to the check service would count as a run.
void CheckMonitoring(TCheckOutput& out, const TNotifier& n) {
  if (n.MetricsFile.empty()) {
    out.Note("no metrics file (MetricsFile)");
  } else if (std::string problem = MetricsFileProblem(n.MetricsFile, ProgramFiles()); !problem.empty()) {
    out.Warning("a run would skip the metrics file: " + problem);
  } else if (const std::string folder = ExtractFilePath(n.MetricsFile); ::access(folder.c_str(), W_OK) != 0) {
    out.Warning("a run could not write the metrics file " + n.MetricsFile + ": " + folder + ": " +
                SysErrorMessage(errno));
  } else {
    out.Note("metrics to " + n.MetricsFile);
  }
  for (const auto& [key, url, what] :
       {std::tuple{"PingURL", &n.PingURL, "at each run's start and end"},
        std::tuple{"VerifyPingURL", &n.VerifyPingURL, "at each read-back's start and end"},
        std::tuple{"PushgatewayURL", &n.PushgatewayURL, "the metrics pushed at each run's end"}}) {
    if (url->empty()) continue;
    if (!ValidPingUrl(*url))
      out.Warning(std::string(key) + " " + MaskUrlSecrets(*url) +
                  " is no http:// or https:// URL: nothing is sent");
    else
      out.Note(std::string(key) + " " + MaskUrlSecrets(*url) + ": " + what);
  }
}

bool AnyRecipients(const TNotifier& n) {
  for (const std::string* list : {&n.ErrorEmails, &n.DiskChangeEmails, &n.LogEmails, &n.BackupCompleteEmails})
    if (!Trim(*list).empty()) return true;
  return false;
}

}  // namespace

int RunCheck(std::ostream& out, std::ostream& err) {
  return RunCheck(out, err, JobSettingsPath());
}

int RunCheck(std::ostream& stream, std::ostream&, const std::string& jobPath) {
  TCheckOutput out(stream);
  TNotifier n;
  const std::string settings = SettingsFilePath();
  stream << "Settings file " << settings << "\n";
  if (const std::string problem = SettingsFileProblem(); !problem.empty()) out.Error("Error: " + problem);
  LoadSettings(n);
  // Only a file that is surely not there is "not there": one that cannot be looked at has its
  // error line above.
  struct stat st {};
  if (::lstat(settings.c_str(), &st) != 0 && errno == ENOENT) {
    out.Note("not there: a run takes the defaults");
  } else if (FileExists(settings)) {
    const std::vector<std::string> known = SettingKeyNames();
    CheckKeys(out, settings, known, known);
  }
  if (!AnyRecipients(n))
    out.Note("no recipients: a run sends no mail");
  else if (const std::string problem = MailSettingsProblem(n); !problem.empty())
    out.Error("Error: a report mail could not be sent: " + problem);
  CheckMonitoring(out, n);

  stream << "Job file " << jobPath << "\n";
  const bool jobFound = FileExists(jobPath);
  if (!jobFound) {
    out.Error(JobSettingsNotFound(jobPath));
    stream << "A run would touch no disk.\n";
    return ExitFailed;
  }
  CheckKeys(out, jobPath, JobSettingKeys(), RequiredJobSettingKeys());
  const TJobSettings job(jobPath);
  const std::string idPath = job.IDPath();

  // The same steps in the same order as a run: a disk that is not there stops it before the volumes.
  bool wrongDisk = false;
  bool diskReady = true;
  stream << "Disk " << (idPath.empty() ? std::string("(no IDPath)") : RemoveTrailingSeparator(idPath))
         << "\n";
  if (const std::string missing = idPath.empty() ? "" : BackupDiskMissing(idPath, job.SystemDiskAllowed());
      !missing.empty()) {
    out.Error(missing);
    diskReady = false;
  } else if (n.IDDisk && idPath.empty()) {
    out.Error("IDPath is not set in " + job.Path());
  } else if (n.IDDisk) {
    try {
      wrongDisk = CheckIdentity(out, n, idPath);
    } catch (const std::exception& e) {
      out.Error(std::string("Error: ") + e.what());
      diskReady = false;
    }
  } else {
    out.Note("the disk's identity is not checked (IDDisk=0)");
  }
  if (diskReady && !idPath.empty()) out.Note(BytesText(FreeBytes(idPath)) + " free");

  TPlanActions plan(stream);
  if (diskReady) {
    TQorvFileCopier fc;
    const std::vector<TVolumeJob> volumes = job.VolumeJobs();
    if (volumes.empty()) out.Note("no volume: Source is empty");
    const std::vector<bool> refused = RefuseOverlappingFolders(out, volumes);
    for (size_t i = 0; i < volumes.size(); ++i) {
      const TVolumeJob& v = volumes[i];
      stream << "Volume " << v.Volume << ": " << v.Source << " -> " << v.Destination << "\n";
      if (refused[i]) continue;
      const int64_t free = FolderExists(v.Destination) ? FreeBytes(v.Destination) : -1;
      if (free >= 0) out.Note(BytesText(free) + " free in " + v.Destination);
      try {
        RotateVolume(out, fc, n, v, nullptr, plan);
      } catch (const std::exception& e) {
        out.Error(std::string("Error: ") + e.what());
      }
    }
  }
  stream << plan.Summary() << "; " << out.Errors() << (out.Errors() == 1 ? " error line" : " error lines")
         << (wrongDisk ? "; the disk in is not today's" : "") << ".\n";
  return out.Errors() > 0 ? ExitFailed : wrongDisk ? ExitWrongDisk : ExitOk;
}

}  // namespace tavik
