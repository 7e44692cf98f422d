#pragma once
// The main window: status of the last run, the Logs page, the progress bar and the menu.
#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <memory>

#include "app/uRunBackup.h"
#include "app/uSwitches.h"

namespace tavik {

class TQorvLogger;

// The progress bar as the copier and the run see it.
class TProgBarTarget : public TProgressTarget {
 public:
  explicit TProgBarTarget(QProgressBar* bar) : bar_(bar) {}
  void SetMax(int value) override { bar_->setMaximum(value); }
  void SetPosition(int value) override { bar_->setValue(value); }
  int Position() const override { return bar_->value(); }

 private:
  QProgressBar* bar_;
};

class TFrmMain : public QMainWindow, public TRunView {
  Q_OBJECT
 public:
  explicit TFrmMain(const TSwitches& switches, QWidget* parent = nullptr);
  ~TFrmMain() override;

  // Start-up work that the original ran on its show event; the program calls it itself when
  // the window is never shown.
  void FormShow();
  // The exit status for a scheduler: 0 after a run without error lines, 1 otherwise.
  int ExitCode() const { return exitCode_; }
  TQorvLogger* Logger() const { return logger_.get(); }
  TBackupRunner* Runner() const { return runner_.get(); }
  std::string LogFilePath() const { return logFile_; }

  // TRunView
  void AppendLog(const std::string& text) override;
  void SetStatus(const std::string& text) override;
  void SetStatus2(const std::string& text) override;
  void SetStarted(const std::string& text) override;
  void SetFinished(const std::string& text) override;
  TProgressTarget& Prog() override { return progTarget_; }
  void ProcessMessages() override;
  void RequestClose() override;

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
  void PreCheckDisk();
  void QuitProgram();

  TSwitches switches_;
  std::unique_ptr<TQorvLogger> logger_;
  std::unique_ptr<TBackupRunner> runner_;
  std::string logFile_;
  bool shownOnce_ = false;
  bool closePending_ = false;
  bool quitting_ = false;
  int exitCode_ = 0;

  QTabWidget* AdvOfficePager1 = nullptr;
  QWidget* AdvOfficePager11 = nullptr;
  QWidget* LogsPage = nullptr;
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
};

// Decodes a JPEG held in memory with libjpeg; a null image when the bytes are no JPEG.
QImage DecodeJpeg(const QByteArray& bytes);

}  // namespace tavik
