#include "core/uRunOutput.h"

#include "QorvLib/uQorvLogger.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {

// The line a run writes when the disk in the drive is not the one scheduled for today.
const char* const WrongDiskLine = "Disk ID INCORRRECT:";

// The journal's priority for a run line: every error line (flagged, or reading "Error: ...") an
// error, the wrong disk and every "Warning: ..." line a warning, the rest information.
int JournalPriority(const std::string& text, bool isError) {
  if (isError || text.rfind("Error:", 0) == 0) return 3;
  if (text.rfind(WrongDiskLine, 0) == 0 || text.rfind(WarningPrefix, 0) == 0) return 4;
  return 6;
}

}  // namespace

// The journal hears a line before the log file does, so a log that cannot be written still
// leaves the run's lines where the service manager shows them.
void TLineOutput::LogLine(const std::string& line, bool isError) {
  const std::string text = MaskUrlSecrets(line);
  JournalLineAt(text, JournalPriority(text, isError));
  ToLog(text);
  view_.AppendLog(text);
  if (isError) errorLines_.push_back(text);
  view_.SetStatus(text);
  view_.ProcessMessages();
}

void TLineOutput::ShowStatus(const std::string& line) {
  const std::string text = MaskUrlSecrets(line);
  JournalLineAt(text, JournalPriority(text, false));
  ToLog(text);
  view_.AppendLog(text);
  view_.SetStatus2(text);
  view_.ProcessMessages();
}

// The log is a record of the backup, never a condition of it: a line it cannot take is told once
// (standard error, the journal, the error mail) and the run goes on. A log that comes back says
// how many lines it missed, so its gap is never silent.
void TLineOutput::ToLog(const std::string& text) {
  try {
    if (logMissed_ > 0) {
      logger_.WriteLog("The run log missed " + std::to_string(logMissed_) +
                       (logMissed_ == 1 ? " line" : " lines") + " before this one");
      logMissed_ = 0;
    }
    logger_.WriteLog(text);
  } catch (const std::exception& e) {
    ++logMissed_;
    if (logFailed_) return;
    logFailed_ = true;
    const std::string line = LogNotWrittenText + std::string(e.what());
    if (!view_.EchoesToStderr()) ErrorToStderr(line);
    view_.AppendLog(line);
    errorLines_.push_back(line);
  }
}

std::string TLineOutput::ErrorText() const {
  std::string r;
  for (const std::string& l : errorLines_) r += l + "<br />";
  return r;
}

void TLineOutput::ReportFailure(const std::string& message) {
  LogLine("Error: " + message, true);
}

}  // namespace tavik
