#include "app/uRunOutput.h"

#include "QorvLib/uQorvLogger.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {

// The line a run writes when the disk in the drive is not the one scheduled for today.
const char* const WrongDiskLine = "Disk ID INCORRRECT:";

// The journal's priority for a run line: every error line (flagged, or reading "Error: ...") an
// error, the wrong disk a warning, the rest information.
int JournalPriority(const std::string& text, bool isError) {
  if (isError || text.rfind("Error:", 0) == 0) return 3;
  if (text.rfind(WrongDiskLine, 0) == 0) return 4;
  return 6;
}

}  // namespace

// The journal hears a line before the log file does, so a log that cannot be written still
// leaves the run's lines where the service manager shows them.
void TLineOutput::LogLine(const std::string& text, bool isError) {
  JournalLineAt(text, JournalPriority(text, isError));
  logger_.WriteLog(text);
  view_.AppendLog(text);
  if (isError) errorLines_.push_back(text);
  view_.SetStatus(text);
  view_.ProcessMessages();
}

void TLineOutput::ShowStatus(const std::string& text) {
  JournalLineAt(text, JournalPriority(text, false));
  logger_.WriteLog(text);
  view_.AppendLog(text);
  view_.SetStatus2(text);
  view_.ProcessMessages();
}

std::string TLineOutput::ErrorText() const {
  std::string r;
  for (const std::string& l : errorLines_) r += l + "<br />";
  return r;
}

void TLineOutput::ReportFailure(const std::string& message) {
  const std::string line = "Error: " + message;
  try {
    LogLine(line, true);
  } catch (const std::exception& e) {
    // The log could not take the line; keep it where the operator and the error mail see it.
    view_.AppendLog(line);
    errorLines_.push_back(line);
    view_.SetStatus(line);
    if (std::string(e.what()) != message) {
      const std::string why = "Error: run log not written: " + std::string(e.what());
      JournalLine(why, true);
      view_.AppendLog(why);
      errorLines_.push_back(why);
    }
  }
}

}  // namespace tavik
