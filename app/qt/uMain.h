#pragma once
// The main window: status of the last run, the Logs page, the progress bar and the menu.
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "run/uRunBackup.h"
#include "run/uSwitches.h"

namespace tavik {

class TQorvLogger;

// The progress bar as the copier and the run see it. A copy starts with SetMax, and no window
// event runs until it ends: beforeCopy, given the bar's range (the size, for files below 2 GiB),
// shows what the window has not shown yet.
class TProgBarTarget : public TProgressTarget {
 public:
  TProgBarTarget(QProgressBar* bar, std::function<void(int range)> beforeCopy = {})
      : bar_(bar), beforeCopy_(std::move(beforeCopy)) {}
  void SetMax(int value) override {
    if (beforeCopy_) beforeCopy_(value);
    bar_->setMaximum(value);
  }
  void SetPosition(int value) override { bar_->setValue(value); }
  int Position() const override { return bar_->value(); }

 private:
  QProgressBar* bar_;
  std::function<void(int)> beforeCopy_;
};

class TFrmMain : public QMainWindow, public TRunView {
  Q_OBJECT
 public:
  explicit TFrmMain(const TSwitches& switches, QWidget* parent = nullptr);
  ~TFrmMain() override;

  // Start-up work that belongs to the window's first showing (the minimised state, the automatic
  // start, the pre-check); the program calls it itself when the window is never shown.
  void FormShow();
  // The exit status for a scheduler: 0 after a run without error lines, 1 after one with, 3 after
  // one (or a pre-check) that found the wrong disk in and nothing else wrong.
  int ExitCode() const { return exitCode_; }
  TQorvLogger* Logger() const { return logger_.get(); }
  TBackupRunner* Runner() const { return runner_.get(); }
  std::string LogFilePath() const { return logFile_; }

  // TRunView
  void AppendLog(const std::string& text) override;
  bool EchoesToStderr() const override { return echoLines_; }
  void SetStatus(const std::string& text) override;
  void SetStatus2(const std::string& text) override;
  void SetStarted(const std::string& text) override;
  void SetFinished(const std::string& text) override;
  TProgressTarget& Prog() override { return progTarget_; }
  void ProcessMessages() override;
  void RequestClose() override;
  void RunEnded() override {
    ShowPendingLines(true);
    RefreshHistory();
  }

 public slots:
  void btnOKClick();
  void Timer1Timer();
  void Exit1Click();
  void Settings1Click();
  void Image1Click();

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormCreate();
  void FormClose();
  void BuildWindow();
  void BuildMenus();
  void BuildDetailsPage();
  void BuildLogsPage();
  void BuildHistoryPage();
  void BuildProgressPanel(QWidget* client);
  void PreCheckDisk();
  void QuitProgram();
  // The previous run's log becomes ".old" when a run starts, not when the window opens: a window
  // opened to change a setting must not cost last night's log.
  void RotateRunLog();
  // The History page shows what the history holds now: filled when the window opens and after
  // each run.
  void RefreshHistory();
  // The Logs page starts with the log as the last run left it.
  void LoadCurrentLog();
  // Lines reach the Logs page and the labels in batches, at most every few hundredths of a
  // second: laying out text for every line made the window, not the disk, the pace of a run of
  // thousands of small files. repaint: paint now, for a copy that keeps events waiting.
  void ShowPendingLines(bool repaint);

  TSwitches switches_;
  std::unique_ptr<TQorvLogger> logger_;
  std::unique_ptr<TBackupRunner> runner_;
  std::string logFile_;
  bool shownOnce_ = false;
  bool closePending_ = false;
  bool quitting_ = false;
  int exitCode_ = 0;
  // A run started by hand from a terminal shows its lines there too (not under the journal, which
  // hears them already).
  bool echoLines_ = false;

  QTabWidget* AdvOfficePager1 = nullptr;
  QWidget* AdvOfficePager11 = nullptr;
  QWidget* LogsPage = nullptr;
  QWidget* HistoryPage = nullptr;
  QTextBrowser* HistoryView = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* lblStarted = nullptr;
  QLabel* lblf = nullptr;
  QLabel* lblFinished = nullptr;
  QLabel* lblStatus = nullptr;
  QLabel* lblStatus2 = nullptr;
  QLabel* Image1 = nullptr;
  QPlainTextEdit* Memlog = nullptr;
  QWidget* Panel1 = nullptr;
  QProgressBar* ProgBar = nullptr;
  QPushButton* btnOK = nullptr;
  QTimer* Timer1 = nullptr;
  TProgBarTarget progTarget_{nullptr};
  QString pendingLog_;
  int pendingLogLines_ = 0;
  std::optional<QString> pendingStatus_, pendingStatus2_;
  QElapsedTimer sinceShown_;
};

// Decodes a JPEG held in memory with libjpeg; a null image when the bytes are no JPEG.
QImage DecodeJpeg(const QByteArray& bytes);

}  // namespace tavik
