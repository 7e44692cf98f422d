#pragma once
// A window stand-in that records what a run shows, in order.
#include <functional>
#include <string>
#include <vector>

#include "core/uRunOutput.h"

namespace tavik::test {

class TRecordingProgress : public TProgressTarget {
 public:
  void SetMax(int value) override { max = value; }
  void SetPosition(int value) override {
    position = value;
    positions.push_back(value);
  }
  int Position() const override { return position; }
  int max = 100;
  int position = 0;
  std::vector<int> positions;
};

class TRunRecorder : public TRunView {
 public:
  void AppendLog(const std::string& text) override { memo.push_back(text); }
  void SetStatus(const std::string& text) override { status = text; }
  void SetStatus2(const std::string& text) override { status2 = text; }
  void SetStarted(const std::string& text) override { started = text; }
  void SetFinished(const std::string& text) override { finished = text; }
  TProgressTarget& Prog() override { return prog; }
  void ProcessMessages() override {
    ++processed;
    if (onProcess) onProcess();
  }
  void RequestClose() override { ++closeRequests; }

  std::vector<std::string> memo;
  std::string status, status2, started, finished;
  TRecordingProgress prog;
  int processed = 0;
  int closeRequests = 0;
  // Runs inside a run's event processing, as a click or a close would.
  std::function<void()> onProcess;
};

}  // namespace tavik::test
