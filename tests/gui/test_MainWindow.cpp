#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "app/qt/uMain.h"
#include "commands/uHistoryCommands.h"
#include "history/uHistory.h"
#include "history/uHistoryTables.h"
#include "tests/support/QtApp.h"
#include "tests/support/TestSupport.h"

using namespace tavik;
using tavik::test::ReadFile;
using tavik::test::TScriptedUi;
using tavik::test::TSealedEnv;
using tavik::test::WriteFile;

namespace {
template <typename T>
T* Child(QObject& w, const char* name) {
  T* c = w.findChild<T*>(name);
  EXPECT_NE(c, nullptr) << name;
  return c;
}
}  // namespace

TEST(MainWindow, CaptionPagesMenuAndLabels) {
  tavik::test::QtApp();
  TSealedEnv env;
  TScriptedUi ui;
  TFrmMain w(TSwitches{});
  EXPECT_EQ(w.windowTitle(), "Tavik: SP Backup");
  EXPECT_EQ(QApplication::applicationDisplayName(), "Tavik Backup Copy");
  auto* pager = Child<QTabWidget>(w, "AdvOfficePager1");
  ASSERT_EQ(pager->count(), 3);
  EXPECT_EQ(pager->tabText(0), "Details");
  EXPECT_EQ(pager->tabText(1), "Logs");
  EXPECT_EQ(pager->tabText(2), "History");
  EXPECT_EQ(pager->currentIndex(), 0);
  EXPECT_EQ(Child<QPushButton>(w, "btnOK")->text(), "&Backup");
  EXPECT_EQ(Child<QLabel>(w, "Label1")->text(), "Started:");
  EXPECT_EQ(Child<QLabel>(w, "lblf")->text(), "Finished:");
  EXPECT_EQ(Child<QLabel>(w, "lblStatus2")->text(), "Status");
  EXPECT_TRUE(Child<QLabel>(w, "lblStatus")->wordWrap());
  EXPECT_FALSE(Child<QLabel>(w, "Image1")->pixmap().isNull());  // the logo decoded
  EXPECT_EQ(Child<QProgressBar>(w, "Prog")->value(), 0);
  Child<QPlainTextEdit>(w, "Memlog");

  QStringList menus;
  for (QAction* a : w.menuBar()->actions()) {
    QStringList items;
    for (QAction* i : a->menu()->actions()) items << i->text();
    menus << a->text() + ":" + items.join(",");
  }
  EXPECT_EQ(menus.join("|").toStdString(), "&File:E&xit|Options:Settings");
  auto* timer = Child<QTimer>(w, "Timer1");
  EXPECT_EQ(timer->interval(), 500);
  EXPECT_FALSE(timer->isActive());
}

TEST(MainWindow, ThreeRunsKeepExactlyOnePreviousLog) {
  tavik::test::QtApp();
  TSealedEnv env;
  TScriptedUi ui;
  TFrmMain w(TSwitches{});
  for (int run = 1; run <= 3; ++run) {
    w.btnOKClick();
    w.Logger()->WriteLog("after run " + std::to_string(run));
  }
  const std::string log = ReadFile(w.LogFilePath());
  const std::string old = ReadFile(ChangeFileExt(w.LogFilePath(), ".old"));
  EXPECT_NE(log.find("after run 3"), std::string::npos);
  EXPECT_EQ(log.find("after run 2"), std::string::npos);
  EXPECT_NE(old.find("after run 2"), std::string::npos);
  EXPECT_EQ(old.find("after run 1"), std::string::npos);
}

// The run log a window of this account writes, the window made and closed again.
static std::string LogFileOfAWindow() {
  TFrmMain w(TSwitches{});
  return w.LogFilePath();
}

// A window opened to change a setting and closed again keeps last night's log and the one before,
// and shows the log on its Logs page.
TEST(MainWindow, OpeningAndClosingTheWindowKeepsTheLogs) {
  tavik::test::QtApp();
  TSealedEnv env;
  TScriptedUi ui;
  const std::string logFile = LogFileOfAWindow();
  WriteFile(logFile,
            "[01/12/26 01:30:00.000]\t1\tLog file created\r\n[01/12/26 01:30:00.001]\t0\tlast night\r\n");
  WriteFile(ChangeFileExt(logFile, ".old"), "the night before\r\n");
  for (int open = 1; open <= 2; ++open) {
    TFrmMain w(TSwitches{});
    w.show();
    QApplication::processEvents();
    EXPECT_TRUE(Child<QPlainTextEdit>(w, "Memlog")->toPlainText().endsWith("\tlast night"))
        << "open " << open;
    w.close();
  }
  EXPECT_EQ(ReadFile(logFile),
            "[01/12/26 01:30:00.000]\t1\tLog file created\r\n[01/12/26 01:30:00.001]\t0\tlast night\r\n");
  EXPECT_EQ(ReadFile(ChangeFileExt(logFile, ".old")), "the night before\r\n");
}

// What another account puts at the log's name is never shown: the Logs page reads the log as the
// run writes it.
TEST(MainWindow, ALinkAtTheLogsNameIsNotShown) {
  tavik::test::QtApp();
  TSealedEnv env;
  TScriptedUi ui;
  const std::string logFile = LogFileOfAWindow();
  const std::string secret = env.Home() + "/secret";
  WriteFile(secret, "root only\r\n");
  std::filesystem::create_symlink(secret, logFile);
  TFrmMain w(TSwitches{});
  w.show();
  QApplication::processEvents();
  EXPECT_FALSE(Child<QPlainTextEdit>(w, "Memlog")->toPlainText().contains("root only"));
  w.close();
}

TEST(MainWindow, BackupButtonRunsAndFillsTheWindow) {
  tavik::test::QtApp();
  TSealedEnv env;
  TScriptedUi ui;
  TFrmMain w(TSwitches{});
  QTest::mouseClick(Child<QPushButton>(w, "btnOK"), Qt::LeftButton);
  auto* memo = Child<QPlainTextEdit>(w, "Memlog");
  EXPECT_TRUE(memo->toPlainText().endsWith("*** Done ***"));
  // Shown in batches, but every line of the log, in its order.
  QStringList logged;
  for (const QString& line :
       QString::fromStdString(ReadFile(w.LogFilePath())).split("\r\n", Qt::SkipEmptyParts))
    logged << line.section('\t', 2);
  logged.removeFirst();  // the log's own header
  EXPECT_EQ(memo->toPlainText().split('\n'), logged);
  EXPECT_EQ(Child<QLabel>(w, "lblStatus2")->text(), "*** Done ***");
  EXPECT_FALSE(Child<QLabel>(w, "lblStarted")->text().isEmpty());
  ASSERT_FALSE(ui.asked.empty());
  EXPECT_EQ(ui.asked.back().text, "Backup complete.");
}

TEST(MainWindow, TheHistoryPageShowsTheRunsWhenTheWindowOpensAndAfterEachRun) {
  tavik::test::QtApp();
  TSealedEnv env;
  TScriptedUi ui;
  TFrmMain w(TSwitches{});
  auto* view = Child<QTextBrowser>(w, "HistoryView");
  EXPECT_TRUE(view->toPlainText().startsWith("No run recorded yet")) << view->toPlainText().toStdString();

  QTest::mouseClick(Child<QPushButton>(w, "btnOK"), Qt::LeftButton);
  QTest::mouseClick(Child<QPushButton>(w, "btnOK"), Qt::LeftButton);
  THistory h(HistoryFilePath(), THistory::TMode::Read);
  const std::vector<THistoryRun> runs = h.LastRuns(10);
  ASSERT_EQ(runs.size(), 2u);
  // The page's runs table holds one row per recorded run, newest first, without another click.
  const QString shown = view->toPlainText();
  EXPECT_TRUE(shown.contains("Rotation"));
  EXPECT_TRUE(shown.contains("Last runs"));
  EXPECT_EQ(shown.count(QString::fromStdString(RunResultText(runs[0]))), 2);

  // A window opened later shows the same history at once.
  TFrmMain later(TSwitches{});
  EXPECT_EQ(Child<QTextBrowser>(later, "HistoryView")->toPlainText(), shown);
}
