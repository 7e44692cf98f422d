#pragma once
// The UI services answered by real Qt message boxes.
#include "platform/uUiServices.h"

namespace tavik {

class TQtUi : public TUiServices {
 public:
  // unattended: nobody is at the screen (hidden run, no display): boxes go to standard
  // error and questions are answered Abort at once, so a scheduled run never waits.
  explicit TQtUi(bool unattended) : unattended_(unattended) {}
  void ShowInfo(const std::string& text) override;
  void ShowWarning(const std::string& text) override;
  void ShowError(const std::string& text) override;
  TMsgAnswer AskAbortRetryIgnore(const std::string& text) override;
  bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
  void ProcessMessages() override;
  void SetUnattended(bool v) { unattended_ = v; }

 private:
  bool unattended_;
  THeadlessUi headless_;
};

}  // namespace tavik
