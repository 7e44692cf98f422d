#pragma once
// What the windows answer. The program installs the Qt implementation at start-up; tests
// install a scripted one; with neither, nobody can answer and the headless default applies.
#include <string>

namespace tavik {

enum class TMsgAnswer { Abort, Retry, Ignore };

struct TUiServices {
  virtual void ShowInfo(const std::string& text) = 0;
  virtual void ShowWarning(const std::string& text) = 0;
  virtual void ShowError(const std::string& text) = 0;
  virtual TMsgAnswer AskAbortRetryIgnore(const std::string& text) = 0;
  virtual bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) = 0;
  virtual void ProcessMessages() = 0;
  virtual ~TUiServices() = default;
};

// Unattended: boxes go to standard error, questions are answered Abort or Cancel at once,
// so a scheduled run can never wait for a person who is not there.
struct THeadlessUi : TUiServices {
  void ShowInfo(const std::string& text) override;
  void ShowWarning(const std::string& text) override;
  void ShowError(const std::string& text) override;
  TMsgAnswer AskAbortRetryIgnore(const std::string& text) override;
  bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
  void ProcessMessages() override {}
};

TUiServices& Ui();
// Installs ui (not owned); nullptr restores the headless default. Returns the previous one.
TUiServices* SetUi(TUiServices* ui);

struct TProgressTarget {
  virtual void SetMax(int value) = 0;
  virtual void SetPosition(int value) = 0;
  virtual int Position() const = 0;
  virtual ~TProgressTarget() = default;
};

// The progress of a command that has no window: kept, shown to nobody.
struct TUnseenProgress : TProgressTarget {
  void SetMax(int) override {}
  void SetPosition(int value) override { pos = value; }
  int Position() const override { return pos; }
  int pos = 0;
};

}  // namespace tavik
