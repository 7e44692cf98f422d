#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "QorvLib/uQorvLogger.h"
#include "core/uRunOutput.h"
#include "notify/uNotifier.h"
#include "platform/uIniFile.h"
#include "run/uRunBackup.h"
#include "run/uRunLock.h"
#include "run/uSwitches.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/RunRecorder.h"
#include "tests/support/TestSupport.h"

using namespace tavik;
using namespace std::chrono_literals;
using tavik::test::TRunRecorder;
using tavik::test::TScriptedUi;
using tavik::test::TSealedEnv;

TEST(Switches, ExactlyOneLetterAfterDashOrSlashInAnyCase) {
  struct Case {
    std::vector<std::string> args;
    bool h, s, m, p;
  } cases[] = {
      {{"-s"}, false, true, false, false},           {{"/S"}, false, true, false, false},
      {{"-S"}, false, true, false, false},           {{"/sx"}, false, false, false, false},
      {{"--s"}, false, false, false, false},         {{"s"}, false, false, false, false},
      {{"-h", "-m"}, true, false, true, false},      {{"/P"}, false, false, false, true},
      {{"/p", "x", "-"}, false, false, false, true}, {{}, false, false, false, false},
  };
  for (const auto& c : cases) {
    TSwitches s = ParseSwitches(c.args);
    std::string what = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(s.hidden, c.h) << what;
    EXPECT_EQ(s.silent, c.s) << what;
    EXPECT_EQ(s.minimised, c.m) << what;
    EXPECT_EQ(s.preCheck, c.p) << what;
  }
}

TEST(RunFrame, ElapsedHoursWrapAtADay) {
  const TDateTime t0 = TClock::from_time_t(1'000'000'000);
  EXPECT_EQ(ElapsedText(t0, t0 + 25h + 2min + 3s), "01:02:03");
  EXPECT_EQ(ElapsedText(t0, t0 + 59s), "00:00:59");
  EXPECT_EQ(ElapsedText(t0, t0 + 23h + 59min + 59s), "23:59:59");
}

namespace {
class RunFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    PinClock(FromLocal(2026, 12, 7, 9, 30, 0));
    // The frame alone: a job without volumes, and no identity step (which would label "ID.txt"
    // in the working folder).
    WriteProfileString(SettingsFileName(), "Notifications", "IDDisk", "0");
    tavik::test::WriteFile(jobPath, "[Main]\n");
    logPath = logger.ConfigureLog(true, "TavikShadowCopy", "");
  }
  void TearDown() override { UnpinClock(); }
  std::unique_ptr<TBackupRunner> MakeRunner(TSwitches switches) {
    auto runner = std::make_unique<TBackupRunner>(logger, view, switches);
    runner->SetJobSettingsPath(jobPath);
    return runner;
  }
  TSealedEnv env;
  TScriptedUi ui;
  TQorvLogger logger;
  std::string logPath;
  std::string jobPath = env.Dir() / "job.ini";
  TRunRecorder view;
};
}  // namespace

TEST_F(RunFrameTest, LinesComeInOrderAndTheBoxEndsAManualRun) {
  auto runner = MakeRunner(TSwitches{});
  ASSERT_TRUE(runner->RunBackup());
  const std::vector<std::string> want = {"Start: 07/12/2026 09:30", "End: 07/12/2026 09:30",
                                         "Total Backup Time: 00:00:00",
                                         "Checking to see if any alerts to send.", "*** Done ***"};
  // Later stages add lines in between; the frame's own lines keep this order.
  std::vector<std::string> frame;
  for (const auto& l : view.memo)
    if (std::find(want.begin(), want.end(), l) != want.end()) frame.push_back(l);
  EXPECT_EQ(frame, want);
  EXPECT_EQ(view.started, "07/12/2026 09:30");
  EXPECT_EQ(view.finished, "07/12/2026 09:30");
  EXPECT_EQ(view.status2, "*** Done ***");
  EXPECT_EQ(view.closeRequests, 0);
  ASSERT_FALSE(ui.asked.empty());
  EXPECT_EQ(ui.asked.back().text, "Backup complete.");
  EXPECT_NE(tavik::test::ReadFile(logPath).find("\t0\t*** Done ***\r\n"), std::string::npos);
  EXPECT_FALSE(runner->LastRunHadErrors());
}

TEST_F(RunFrameTest, TwoRunsAppendToTheLogsPage) {
  auto runner = MakeRunner(TSwitches{});
  runner->RunBackup();
  const size_t first = view.memo.size();
  AdvancePinnedClock(std::chrono::hours(25) + std::chrono::minutes(1));
  runner->RunBackup();
  EXPECT_EQ(view.memo.size(), 2 * first);
  EXPECT_EQ(view.memo[first], "Start: 08/12/2026 10:31");
}

TEST_F(RunFrameTest, UnattendedRunClosesWithoutABox) {
  auto runner = MakeRunner(ParseSwitches({"-h"}));
  runner->RunBackup();
  EXPECT_EQ(view.closeRequests, 1);
  for (const auto& a : ui.asked) EXPECT_NE(a.text, "Backup complete.");
}

TEST_F(RunFrameTest, AStartInsideARunIsIgnored) {
  auto runner = MakeRunner(ParseSwitches({"-s"}));
  int nestedStarts = 0, nestedAccepted = 0;
  view.onProcess = [&] {
    ++nestedStarts;
    if (runner->RunBackup()) ++nestedAccepted;
    EXPECT_TRUE(runner->Running());
  };
  ASSERT_TRUE(runner->RunBackup());
  EXPECT_GT(nestedStarts, 0);
  EXPECT_EQ(nestedAccepted, 0);
  EXPECT_EQ(std::count(view.memo.begin(), view.memo.end(), "*** Done ***"), 1);
  EXPECT_FALSE(runner->Running());
}

// A log that cannot be written is said once, as an error line, and costs the run nothing else.
TEST_F(RunFrameTest, AnUnwritableLogIsSaidOnceAndTheRunGoesOnAndExits) {
  tavik::test::WriteFile(logPath + "/blocker", "");  // the log's name is taken by a folder
  auto runner = MakeRunner(ParseSwitches({"-h"}));
  runner->RunBackup();
  EXPECT_EQ(view.closeRequests, 1);
  EXPECT_TRUE(runner->LastRunHadErrors());
  const std::string said = "The run log could not be written: " + logPath + " is not a regular file";
  EXPECT_EQ(view.memo, (std::vector<std::string>{said, "Start: 07/12/2026 09:30", "End: 07/12/2026 09:30",
                                                 "Total Backup Time: 00:00:00",
                                                 "Checking to see if any alerts to send.", "*** Done ***"}));
}

// A log that comes back mid-run says how many lines it missed, and the failure is still said once.
TEST_F(RunFrameTest, ALogThatComesBackSaysHowManyLinesItMissed) {
  TLineOutput out(logger, view);
  out.LogLine("before", false);
  std::filesystem::rename(logPath, logPath + ".kept");
  std::filesystem::create_directories(logPath + "/taken");
  out.LogLine("lost 1", false);
  out.ShowStatus("lost 2");
  std::filesystem::remove_all(logPath);
  std::filesystem::rename(logPath + ".kept", logPath);
  out.LogLine("after", false);
  out.LogLine("later", true);
  EXPECT_EQ(tavik::test::LogMessages(tavik::test::ReadFile(logPath)),
            (std::vector<std::string>{"Log file created", "before",
                                      "The run log missed 2 lines before this one", "after", "later"}));
  EXPECT_EQ(out.ErrorLines(),
            (std::vector<std::string>{
                "The run log could not be written: " + logPath + " is not a regular file", "later"}));
}

TEST_F(RunFrameTest, AManualStartWhileAnotherRunHoldsTheLockShowsWhyAndStaysOpen) {
  TRunLock other;
  ASSERT_TRUE(other.TryAcquire());
  auto runner = MakeRunner(TSwitches{});
  ASSERT_TRUE(runner->RunBackup());
  EXPECT_TRUE(runner->LastRunHadErrors());
  EXPECT_EQ(view.closeRequests, 0);
  EXPECT_TRUE(view.memo.empty());
  ASSERT_EQ(ui.asked.size(), 1u);
  EXPECT_EQ(ui.asked[0].kind, "error");
  EXPECT_EQ(ui.asked[0].text,
            "Another backup run (process " + std::to_string(::getpid()) + ") is in progress");
  EXPECT_FALSE(std::filesystem::exists(logPath));

  // The same window runs once the lock is free.
  other.Release();
  ASSERT_TRUE(runner->RunBackup());
  EXPECT_FALSE(runner->LastRunHadErrors());
  EXPECT_EQ(ui.asked.back().text, "Backup complete.");
}
