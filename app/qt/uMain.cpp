#include "app/qt/uMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QMenuBar>
#include <QScreen>
#include <QTabBar>
#include <QVBoxLayout>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uExitStatus.h"
#include "core/uJobSettings.h"
#include "core/uRunValues.h"
#include "history/uHistoryTables.h"
#include "notify/qt/uMailSettings.h"
#include "platform/uErrors.h"
#include "platform/uSystem.h"
#include "platform/uUiServices.h"
#include "run/uReport.h"
#include "run/uRunLock.h"

// The logo lives in a static library, whose resources must be registered by hand.
static void InitTavikResources() {
  Q_INIT_RESOURCE(resources);
}

namespace tavik {

namespace {

QString Q(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(name);
  l->move(x, y);
  l->adjustSize();
  return l;
}
}  // namespace

TFrmMain::TFrmMain(const TSwitches& switches, QWidget* parent) : QMainWindow(parent), switches_(switches) {
  BuildWindow();
  FormCreate();
}

TFrmMain::~TFrmMain() {
  FormClose();
}

void TFrmMain::BuildWindow() {
  InitTavikResources();
  setWindowTitle("Tavik: SP Backup");
  QFont f("Tahoma");
  f.setPointSize(8);
  setFont(f);
  BuildMenus();

  auto* client = new QWidget(this);
  client->setFixedSize(464, 210);
  auto* layout = new QVBoxLayout(client);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  AdvOfficePager1 = new QTabWidget(client);
  AdvOfficePager1->setObjectName("AdvOfficePager1");
  AdvOfficePager11 = new QWidget;
  AdvOfficePager11->setObjectName("AdvOfficePager11");
  LogsPage = new QWidget;
  LogsPage->setObjectName("LogsPage");
  AdvOfficePager1->addTab(AdvOfficePager11, "Details");
  AdvOfficePager1->addTab(LogsPage, "Logs");
  HistoryPage = new QWidget;
  HistoryPage->setObjectName("HistoryPage");
  AdvOfficePager1->addTab(HistoryPage, "History");
  AdvOfficePager1->setCurrentIndex(0);
  BuildDetailsPage();
  BuildLogsPage();
  BuildHistoryPage();
  BuildProgressPanel(client);

  layout->addWidget(AdvOfficePager1, 1);
  layout->addWidget(Panel1);
  setCentralWidget(client);

  // The logo sits at the bottom right of the Details page.
  const int pageH = 210 - 41 - AdvOfficePager1->tabBar()->sizeHint().height() - 4;
  Image1->move(464 - 73 - 12, pageH - 29 - 4);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(500);
  Timer1->setSingleShot(true);
  connect(Timer1, &QTimer::timeout, this, &TFrmMain::Timer1Timer);

  layout->activate();
  setFixedSize(sizeHint());
  if (QScreen* s = QApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());
}

void TFrmMain::BuildMenus() {
  auto* file1 = menuBar()->addMenu("&File");
  file1->setObjectName("File1");
  QAction* exit1 = file1->addAction("E&xit", this, &TFrmMain::Exit1Click);
  exit1->setObjectName("Exit1");
  auto* options1 = menuBar()->addMenu("Options");
  options1->setObjectName("Options1");
  QAction* settings1 = options1->addAction("Settings", this, &TFrmMain::Settings1Click);
  settings1->setObjectName("Settings1");
}

// The last run's times and status, and the logo that opens the maker's site.
void TFrmMain::BuildDetailsPage() {
  Label1 = MakeLabel(AdvOfficePager11, "Label1", "Started:", 16, 16);
  lblStarted = MakeLabel(AdvOfficePager11, "lblStarted", "", 72, 16);
  lblf = MakeLabel(AdvOfficePager11, "lblf", "Finished:", 208, 16);
  lblFinished = MakeLabel(AdvOfficePager11, "lblFinished", "", 272, 16);
  lblStarted->setFixedWidth(130);
  lblFinished->setFixedWidth(160);
  lblStatus = MakeLabel(AdvOfficePager11, "lblStatus", "", 16, 35);
  lblStatus->setWordWrap(true);
  lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lblStatus->setFixedSize(432, 54);
  lblStatus2 = MakeLabel(AdvOfficePager11, "lblStatus2", "Status", 16, 107);
  lblStatus2->setFixedWidth(330);

  Image1 = new QLabel(AdvOfficePager11);
  Image1->setObjectName("Image1");
  Image1->setFixedSize(73, 29);
  Image1->setToolTip(MakerSiteUrl);
  Image1->setCursor(Qt::PointingHandCursor);
  QFile logo(":/logo.jpg");
  if (logo.open(QIODevice::ReadOnly))
    Image1->setPixmap(QPixmap::fromImage(DecodeJpeg(logo.readAll()).convertToFormat(QImage::Format_RGB32)));
  Image1->installEventFilter(this);
}

void TFrmMain::BuildLogsPage() {
  auto* logsLayout = new QVBoxLayout(LogsPage);
  logsLayout->setContentsMargins(0, 0, 0, 0);
  Memlog = new QPlainTextEdit(LogsPage);
  Memlog->setObjectName("Memlog");
  Memlog->setReadOnly(true);
  logsLayout->addWidget(Memlog);
}

void TFrmMain::BuildHistoryPage() {
  auto* historyLayout = new QVBoxLayout(HistoryPage);
  historyLayout->setContentsMargins(0, 0, 0, 0);
  HistoryView = new QTextBrowser(HistoryPage);
  HistoryView->setObjectName("HistoryView");
  HistoryView->setOpenLinks(false);
  // The page is small: a cell wrapped word by word is harder to read than a table scrolled sideways.
  HistoryView->setLineWrapMode(QTextEdit::NoWrap);
  HistoryView->document()->setDefaultStyleSheet("td, th { white-space: nowrap; } p { margin: 2px; }");
  historyLayout->addWidget(HistoryView);
}

// The strip below the pages: the copy's progress bar and the Backup button.
void TFrmMain::BuildProgressPanel(QWidget* client) {
  Panel1 = new QWidget(client);
  Panel1->setObjectName("Panel1");
  Panel1->setFixedHeight(41);
  ProgBar = new QProgressBar(Panel1);
  ProgBar->setObjectName("Prog");
  ProgBar->setGeometry(4, 6, 349, 15);
  ProgBar->setTextVisible(false);
  ProgBar->setValue(0);
  // A copy of a megabyte or more may keep the window waiting long enough to matter: its
  // "File copying" line is painted before it starts.
  progTarget_ = TProgBarTarget(ProgBar, [this](int range) { ShowPendingLines(range >= (1 << 20)); });
  sinceShown_.start();
  btnOK = new QPushButton("&Backup", Panel1);
  btnOK->setObjectName("btnOK");
  btnOK->setGeometry(464 - 75 - 8, 41 - 25 - 8, 75, 25);
  connect(btnOK, &QPushButton::clicked, this, &TFrmMain::btnOKClick);
}

void TFrmMain::FormCreate() {
  logger_ = std::make_unique<TQorvLogger>();
  logFile_ = logger_->ConfigureLog(true, RunLogAppFolder, "");
  echoLines_ = ::isatty(STDERR_FILENO) && !StderrIsJournal();
  if (!switches_.hidden && !switches_.preCheck) {
    LoadCurrentLog();
    RefreshHistory();
  }
  runner_ = std::make_unique<TBackupRunner>(*logger_, *this, switches_);
}

void TFrmMain::LoadCurrentLog() {
  // Read as the run writes it: a window started as root never shows a file another account put
  // at the log's name.
  std::string text;
  try {
    TFile log = OpenOwnLog(logFile_);
    if (!log.IsOpen()) return;
    char buf[65536];
    long long n;
    while ((n = log.Read(buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  } catch (const std::exception&) {
    return;
  }
  std::string lines;
  for (char c : text)
    if (c != '\r') lines += c;
  while (!lines.empty() && lines.back() == '\n') lines.pop_back();
  if (!lines.empty()) Memlog->setPlainText(Q(lines));
}

void TFrmMain::RefreshHistory() {
  // A hidden, scheduled start has nobody to show it to.
  if (switches_.hidden) return;
  HistoryView->setHtml(QString::fromStdString(HistoryPageHtml()));
}

void TFrmMain::RotateRunLog() {
  // Each run keeps exactly one previous log, unless a run of another start is writing it (this
  // start's run is then refused and leaves both alone).
  TRunLock noRunNow;
  if (!noRunNow.TryAcquire()) return;
  const std::string old = ChangeFileExt(logFile_, ".old");
  if (FileExists(old)) std::remove(old.c_str());
  if (FileExists(logFile_)) std::rename(logFile_.c_str(), old.c_str());
}

void TFrmMain::FormClose() {
  runner_.reset();
  logger_.reset();
}

void TFrmMain::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (!shownOnce_) {
    shownOnce_ = true;
    // Let the window paint before the pre-check may block it with a mail conversation.
    QTimer::singleShot(0, this, &TFrmMain::FormShow);
  }
}

void TFrmMain::FormShow() {
  shownOnce_ = true;
  if (switches_.minimised && !switches_.hidden) setWindowState(windowState() | Qt::WindowMinimized);
  // The pre-check alone runs under "P": a backup started by the timer must never begin
  // inside a pre-check that is still sending its mail.
  if (switches_.preCheck) {
    PreCheckDisk();
    return;
  }
  if (switches_.Unattended()) Timer1->start();
}

void TFrmMain::PreCheckDisk() {
  std::string failure;
  bool wrongDisk = false;
  if (!tavik::PreCheckDisk(JobSettingsPath(), &failure, &wrongDisk)) {
    // Nobody may be at the screen: the reason goes to the debug channel (the journal, under
    // the service manager) and the exit status.
    ErrorToStderr("Disk pre-check: " + failure);
    exitCode_ = ExitFailed;
  } else if (wrongDisk) {
    exitCode_ = ExitWrongDisk;
  }
  QuitProgram();
}

void TFrmMain::btnOKClick() {
  // A click inside a run is ignored by the runner; the log it is writing must stay where it is.
  if (!runner_->Running()) RotateRunLog();
  runner_->RunBackup();
  if (!runner_->Running() && closePending_) close();
}

void TFrmMain::Timer1Timer() {
  Timer1->stop();
  btnOKClick();
}

void TFrmMain::Exit1Click() {
  close();
}

void TFrmMain::Settings1Click() {
  ShowMailSettings();
}

void TFrmMain::Image1Click() {
  OpenUrl(MakerSiteUrl);
}

bool TFrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Image1 && event->type() == QEvent::MouseButtonRelease) {
    Image1Click();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void TFrmMain::closeEvent(QCloseEvent* e) {
  // Closing in the middle of a run would pull the logger from under it: wait for its end.
  if (runner_ && runner_->Running()) {
    closePending_ = true;
    e->ignore();
    return;
  }
  e->accept();
  QuitProgram();
}

void TFrmMain::RequestClose() {
  if (runner_ && runner_->LastRunHadErrors())
    exitCode_ = ExitFailed;
  else
    exitCode_ = runner_ && runner_->Values().diskMismatch ? ExitWrongDisk : ExitOk;
  QuitProgram();
}

void TFrmMain::QuitProgram() {
  if (quitting_) return;
  quitting_ = true;
  hide();
  // Queued, so it also ends the event loop when asked for before that loop has started
  // (a hidden window never gets the close that would otherwise end it).
  const int code = exitCode_;
  QMetaObject::invokeMethod(
      qApp, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

void TFrmMain::AppendLog(const std::string& text) {
  if (echoLines_) std::cerr << text << std::endl;
  if (pendingLogLines_++ > 0) pendingLog_ += '\n';
  pendingLog_ += Q(text);
}
void TFrmMain::SetStatus(const std::string& text) {
  pendingStatus_ = Q(text);
}
void TFrmMain::SetStatus2(const std::string& text) {
  pendingStatus2_ = Q(text);
}

void TFrmMain::ShowPendingLines(bool repaint) {
  if (pendingLogLines_ > 0) {
    Memlog->appendPlainText(pendingLog_);  // one block per line, as line by line
    pendingLog_.clear();
    pendingLogLines_ = 0;
  }
  if (pendingStatus_) lblStatus->setText(*pendingStatus_);
  if (pendingStatus2_) lblStatus2->setText(*pendingStatus2_);
  pendingStatus_.reset();
  pendingStatus2_.reset();
  sinceShown_.restart();
  if (repaint && isVisible()) this->repaint();
}
void TFrmMain::SetStarted(const std::string& text) {
  lblStarted->setText(Q(text));
}
void TFrmMain::SetFinished(const std::string& text) {
  lblFinished->setText(Q(text));
}
void TFrmMain::ProcessMessages() {
  if (sinceShown_.elapsed() >= 40) ShowPendingLines(false);
  Ui().ProcessMessages();
}

}  // namespace tavik
