#pragma once
// What a run tells the history and the monitoring as it goes: its start, the disk it found, each
// volume's end and its own end. Nothing here can change the run's outcome beyond one error line
// when the history cannot be written: a ping or a metrics file that fails is a plain log line.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/uExitStatus.h"
#include "core/uJobSettings.h"
#include "core/uRunValues.h"
#include "history/uHistory.h"
#include "history/uMonitoring.h"
#include "run/uReport.h"

namespace tavik {

class TLineOutput;
class TNotifier;

// The files of the program's own a metrics file must never replace: the settings, the run lock,
// the job file, the history with its journals and, when given, the run log.
std::vector<std::string> ProgramFiles(const std::string& logFilePath = "");

// A ping of url's start; a failure is a warning line.
void PingStartOf(TLineOutput& out, const std::string& url);
// What the monitoring hears when a run or a read-back ends: the metrics file rewritten from the
// history (or from fallback without one), when it is set and may be written; pingUrl pinged with
// the exit status and the log's tail; the metrics pushed to the Pushgateway when one is set.
// Each failure is a warning line, and nothing here changes the outcome.
void TellMonitoringEnd(TLineOutput& out, const TNotifier& n, THistory* history, const TMetrics& fallback,
                       const std::string& pingUrl, int status, const std::string& logFilePath);

class THistoryRecorder {
 public:
  THistoryRecorder(TLineOutput& out, const TNotifier& notifier, std::string historyPath = HistoryFilePath());
  ~THistoryRecorder();

  void RunStarted(TDateTime start);
  // After the identity step; diskFolder is the job's "IDPath" (the disk's free space is read there).
  void DiskSeen(const TRunValues& values, const std::string& diskFolder);
  // Runs one volume's rotation and records how it ended; a failure it raises is recorded and
  // passed on.
  // rotate returns the time of the source's newest image, when it read the source.
  void Volume(const TVolumeJob& job, const std::function<std::optional<TDateTime>()>& rotate);
  // The files of job's destination whose last read-back on this disk failed and were not
  // repaired, and the telling that a run has copied one of them again.
  std::vector<TVerifyFailure> UnrepairedReadBacks(const TVolumeJob& job);
  void CopiedAgain(const std::string& path);
  void RunEnded(TDateTime end, const TRunValues& values, const std::string& logFilePath);

  // This run's volumes so far and the rotation as the report shows them; empty when there is no
  // history.
  TReportHistory ReportTables(TDateTime now);

 private:
  // Runs a write; the first failure is one error line and ends the recording for this run.
  void Write(const std::function<void(THistory&)>& write);
  std::optional<int64_t> FreeBytes();

  TLineOutput& out_;
  const TNotifier& notifier_;
  std::string path_;
  std::unique_ptr<THistory> history_;
  bool failed_ = false;
  int64_t runId_ = 0;
  std::string diskFolder_;
  std::optional<THistoryVerification> readBack_;  // the disk's last, when it left failures
  TDateTime start_{};
};

}  // namespace tavik
