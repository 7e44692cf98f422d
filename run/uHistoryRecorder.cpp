#include "run/uHistoryRecorder.h"

#include <sys/stat.h>

#include <algorithm>

#include "QorvLib/uQorvFiles.h"
#include "core/uDiskIdentity.h"
#include "core/uJobSettings.h"
#include "core/uManifest.h"
#include "core/uRunOutput.h"
#include "history/uHistoryTables.h"
#include "history/uMonitoring.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "platform/uErrors.h"
#include "run/uRunLock.h"

namespace tavik {

namespace {

// What a volume's destination holds: each file's name, folded for the case-blind comparison.
std::set<std::string> Held(const std::string& folder) {
  std::set<std::string> r;
  for (const TFoundFile& f : ListFiles(folder + "*", false)) r.insert(LowerCase(f.name));
  return r;
}

// The chain the destination holds (its newest full image, copies keep the source's time), the
// last of its incrementals by name, and what the volume added to it.
void Describe(const TVolumeJob& job, const std::set<std::string>& before, THistoryVolume& v) {
  const std::string folder = IncludeTrailingSeparator(job.Destination);
  int64_t newest = 0;
  std::string newestIncremental;
  const std::vector<TFoundFile> files = ListFiles(folder + "*", false);
  for (const TFoundFile& f : files) {
    if (f.name == TManifest::FileName) continue;  // the disk's manifest is no copy
    const bool full = MatchesMask(f.name, job.Volume + "*.spf");
    const bool added = !before.count(LowerCase(f.name));
    if (!full && !added) continue;
    struct stat st {};
    if (::stat((folder + f.name).c_str(), &st) != 0) continue;
    if (added) {
      ++v.filesCopied;
      v.bytesCopied += static_cast<int64_t>(st.st_size);
    }
    if (full && (v.chain.empty() || st.st_mtime > newest)) {
      newest = st.st_mtime;
      v.chain = ChangeFileExt(f.name, "");
    }
  }
  for (const TFoundFile& f : files)
    if (!v.chain.empty() && MatchesMask(f.name, v.chain + "*.spi") &&
        LowerCase(f.name) > LowerCase(newestIncremental))
      newestIncremental = f.name;
  v.newestIncremental = newestIncremental;
}

}  // namespace

std::vector<std::string> ProgramFiles(const std::string& logFilePath) {
  std::vector<std::string> files = {SettingsFilePath(), RunLockPath(), JobSettingsPath()};
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) files.push_back(HistoryFilePath() + suffix);
  if (!logFilePath.empty()) files.push_back(logFilePath);
  return files;
}

THistoryRecorder::THistoryRecorder(TLineOutput& out, const TNotifier& notifier, std::string historyPath)
    : out_(out), notifier_(notifier), path_(std::move(historyPath)) {}

THistoryRecorder::~THistoryRecorder() = default;

void THistoryRecorder::Write(const std::function<void(THistory&)>& write) {
  if (failed_) return;
  try {
    if (!history_) history_ = std::make_unique<THistory>(path_);
    write(*history_);
  } catch (const std::exception& e) {
    failed_ = true;
    history_.reset();
    out_.LogLine(std::string("History not recorded: ") + e.what(), true);
  }
}

std::optional<int64_t> THistoryRecorder::FreeBytes() {
  int64_t free = 0, total = 0;
  if (!DiskSpace(diskFolder_, free, total)) return std::nullopt;
  return free;
}

void PingStartOf(TLineOutput& out, const std::string& url) {
  if (url.empty()) return;
  const std::string why = PingStart(url, NotifierSmtpTimeout());
  if (!why.empty())
    out.LogLine(WarningPrefix + ("ping " + PingAddress(url, "start") + " failed: " + why), false);
}

void TellMonitoringEnd(TLineOutput& out, const TNotifier& n, THistory* history, const TMetrics& fallback,
                       const std::string& pingUrl, int status, const std::string& logFilePath) {
  std::optional<std::string> text;
  auto metrics = [&]() -> const std::string& {
    if (!text) {
      TMetrics m = fallback;
      if (history) {
        try {
          m = MetricsFromHistory(*history);
        } catch (const std::exception& e) {
          out.LogLine(WarningPrefix + std::string("metrics from the run alone: ") + e.what(), false);
        }
      }
      text = MetricsText(m);
    }
    return *text;
  };
  if (!n.MetricsFile.empty()) {
    if (const std::string problem = MetricsFileProblem(n.MetricsFile, ProgramFiles(logFilePath));
        !problem.empty()) {
      out.LogLine(WarningPrefix + ("metrics file skipped: " + problem), false);
    } else {
      try {
        WriteMetricsFile(n.MetricsFile, metrics());
      } catch (const std::exception& e) {
        out.LogLine(WarningPrefix + std::string("metrics not written: ") + e.what(), false);
      }
    }
  }
  if (!n.PushgatewayURL.empty()) {
    const std::string why =
        PushMetrics(n.PushgatewayURL, LocalComputerName(), metrics(), NotifierSmtpTimeout());
    if (!why.empty())
      out.LogLine(WarningPrefix + ("metrics not pushed to " +
                                   PushAddress(n.PushgatewayURL, LocalComputerName()) + ": " + why),
                  false);
  }
  if (!pingUrl.empty()) {
    const std::string what = std::to_string(status);
    const std::string why =
        PingEnd(pingUrl, status, LastLines(logFilePath, PingLogLines), NotifierSmtpTimeout());
    if (!why.empty())
      out.LogLine(WarningPrefix + ("ping " + PingAddress(pingUrl, what) + " failed: " + why), false);
  }
}

void THistoryRecorder::RunStarted(TDateTime start) {
  start_ = start;
  Write([&](THistory& h) { runId_ = h.RecordRunStart(start, LocalComputerName()); });
  PingStartOf(out_, notifier_.PingURL);
}

void THistoryRecorder::DiskSeen(const TRunValues& values, const std::string& diskFolder) {
  diskFolder_ = diskFolder;
  std::string id = values.foundId;
  // A disk labelled by this very run carries the label just written.
  if (id.empty() && !diskFolder.empty()) {
    try {
      id = ReadDiskID(IdentityFilePath(IncludeTrailingSeparator(diskFolder)));
    } catch (const std::exception&) {
      id.clear();
    }
  }
  int64_t free = 0, total = 0;
  const bool known = DiskSpace(diskFolder_, free, total);
  Write([&](THistory& h) {
    if (!id.empty()) {
      readBack_ = h.LastVerification(id);
      if (readBack_ && readBack_->Outstanding() == 0) readBack_.reset();
    }
    h.RecordDisk(runId_, id, values.expectedId, known ? std::optional<int64_t>(free) : std::nullopt,
                 known ? std::optional<int64_t>(total) : std::nullopt);
  });
}

void THistoryRecorder::Volume(const TVolumeJob& job,
                              const std::function<std::optional<TDateTime>()>& rotate) {
  const size_t errorsBefore = out_.ErrorLines().size();
  const bool listed = !failed_ && job.Complete() && FolderExists(job.Destination);
  const std::set<std::string> before =
      listed ? Held(IncludeTrailingSeparator(job.Destination)) : std::set<std::string>();
  const int64_t began = MonotonicMs();
  THistoryVolume v;
  v.volume = job.Volume;
  v.result = "OK";
  auto record = [&] {
    if (failed_) return;
    v.seconds = static_cast<double>(MonotonicMs() - began) / 1000.0;
    v.ended = Now();
    if (job.Complete() && FolderExists(job.Destination)) Describe(job, before, v);
    // What the volume wrote first among its error lines says what went wrong.
    if (v.result == "OK" && out_.ErrorLines().size() > errorsBefore)
      v.result = out_.ErrorLines()[errorsBefore];
    Write([&](THistory& h) { h.RecordVolume(runId_, v, FreeBytes()); });
  };
  try {
    v.newestImage = rotate();
  } catch (const std::exception& e) {
    v.result = e.what();
    record();
    throw;
  }
  record();
}

void THistoryRecorder::RunEnded(TDateTime end, const TRunValues& values, const std::string& logFilePath) {
  const int errors = static_cast<int>(out_.ErrorLines().size());
  const int status = RunExitStatus(errors > 0, values.diskMismatch);
  Write([&](THistory& h) {
    h.RecordRunErrors(runId_, out_.ErrorLines());
    h.RecordRunEnd(runId_, end, status, errors, FreeBytes());
  });
  // Without a history the metrics still tell how this run went.
  TMetrics alone;
  alone.runStart = start_;
  alone.runEnd = end;
  alone.exitStatus = status;
  alone.errorLines = errors;
  TellMonitoringEnd(out_, notifier_, failed_ ? nullptr : history_.get(), alone, notifier_.PingURL, status,
                    logFilePath);
}

std::vector<TVerifyFailure> THistoryRecorder::UnrepairedReadBacks(const TVolumeJob& job) {
  std::vector<TVerifyFailure> r;
  if (!readBack_ || failed_ || !job.Complete()) return r;
  const std::string folder = IncludeTrailingSeparator(job.Destination);
  for (const TVerifyFailure& f : readBack_->failed)
    if (f.repair == TVerifyFailure::NotRepaired && f.path.size() > folder.size() &&
        f.path.compare(0, folder.size(), folder) == 0 &&
        f.path.find(PathDelim, folder.size()) == std::string::npos)
      r.push_back(f);
  return r;
}

void THistoryRecorder::CopiedAgain(const std::string& path) {
  if (!readBack_) return;
  Write([&](THistory& h) { h.RecordCopiedAgain(readBack_->id, path); });
}

TReportHistory THistoryRecorder::ReportTables(TDateTime now) {
  TReportHistory r;
  if (!history_ || failed_) return r;
  try {
    const std::vector<THistoryVolume> volumes = history_->Volumes(runId_);
    const std::vector<TRotationDisk> disks =
        history_->Rotation(now, notifier_.IDDisk ? ScheduledDisks(notifier_) : std::vector<std::string>());
    if (!volumes.empty()) r.volumesHtml = "<b>Volumes</b><br />\r\n" + VolumesHtml(volumes);
    if (!disks.empty()) r.rotationHtml = "<br /><b>Rotation</b><br />\r\n" + RotationHtml(disks);
    r.overdueLine = OverdueLine(disks);
  } catch (const std::exception&) {
    // The tables are a courtesy: a history that cannot be read leaves the mails as they were.
    r = TReportHistory{};
  }
  return r;
}

}  // namespace tavik
