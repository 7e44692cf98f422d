#pragma once
// The seam between a run and the window that shows it. The window implements TRunView;
// TLineOutput adds the run log and the error list, so every line a run writes is testable
// without a window.
#include <string>
#include <vector>

#include "platform/uUiServices.h"

namespace tavik {

class TQorvLogger;

// What a window shows of a run.
struct TRunView {
  virtual void AppendLog(const std::string& text) = 0;   // the Logs page
  virtual void SetStatus(const std::string& text) = 0;   // last LogLine
  virtual void SetStatus2(const std::string& text) = 0;  // last ShowStatus
  virtual void SetStarted(const std::string& text) = 0;
  virtual void SetFinished(const std::string& text) = 0;
  virtual TProgressTarget& Prog() = 0;
  virtual void ProcessMessages() = 0;
  // Ends the program when the window can close; a window that is still running defers it.
  virtual void RequestClose() = 0;
  // The run is over (its last line written), before its closing box or the program's exit: a
  // window that shows lines in batches shows the rest now.
  virtual void RunEnded() {}
  // Every line appended is also written to standard error (a window started from a terminal).
  virtual bool EchoesToStderr() const { return false; }
  virtual ~TRunView() = default;
};

// What a run writes to.
struct TRunOutput {
  virtual void LogLine(const std::string& text, bool isError) = 0;
  virtual void ShowStatus(const std::string& text) = 0;
  virtual TProgressTarget& Prog() = 0;
  virtual ~TRunOutput() = default;
};

class TLineOutput : public TRunOutput {
 public:
  TLineOutput(TQorvLogger& logger, TRunView& view) : logger_(logger), view_(view) {}
  void LogLine(const std::string& text, bool isError = false) override;
  void ShowStatus(const std::string& text) override;
  TProgressTarget& Prog() override { return view_.Prog(); }

  // The run's error lines; joined, each is followed by "<br />".
  std::vector<std::string>& ErrorLines() { return errorLines_; }
  std::string ErrorText() const;

  // Reports a failure as an "Error: " error line. Never throws: when the run log itself
  // is what failed, the line still reaches the window and the error list.
  void ReportFailure(const std::string& message);

 private:
  void ToLog(const std::string& text);

  TQorvLogger& logger_;
  TRunView& view_;
  std::vector<std::string> errorLines_;
  bool logFailed_ = false;
  size_t logMissed_ = 0;
};

// How a line starts that tells of something the run skipped without failing (a metrics file it
// may not write, say): no error line, but a warning for the journal.
inline constexpr const char* WarningPrefix = "Warning: ";

// The line, followed by the reason, that tells once in a run that its log could not be written.
inline constexpr const char* LogNotWrittenText = "The run log could not be written: ";

}  // namespace tavik
