#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <filesystem>
#include <functional>
#include <optional>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uDiskIdentity.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"
#include "platform/uIniFile.h"
#include "run/uRunBackup.h"
#include "tests/support/RunRecorder.h"
#include "tests/support/TestSupport.h"

using namespace tavik;
using tavik::test::ReadFile;
using tavik::test::TRunRecorder;
using tavik::test::TScriptedUi;
using tavik::test::TSealedEnv;
using tavik::test::TTempDir;
using tavik::test::WriteFile;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// Monday 7 December 2026 is the first day of the test week.
enum TDayOfWeek { Mon = 7, Tue, Wed, Thu, Fri, Sat, Sun };

TDateTime At(int day, int hour = 9, int minute = 30) {
  return FromLocal(2026, 12, day, hour, minute, 0);
}

const std::string Warning = "*** DO NOT DELETE UNLESS YOU WANT TO CHANGE THE DISK LABEL ***";

class DiskIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    std::setlocale(LC_TIME, "C");
    logger.ConfigureLog(true, "TavikShadowCopy", "");
    LoadSettings(notifier);  // the default schedule
  }

  Lines Check(int day) {
    CheckDiskIdentity(out, notifier, disk.Path() + "/", At(day), values);
    return view.memo;
  }

  TSealedEnv env;
  TQorvLogger logger;
  TRunRecorder view;
  TLineOutput out{logger, view};
  TNotifier notifier;
  TRunValues values;
  TTempDir disk;
  std::string idFile = disk / "ID.txt";
};

}  // namespace

TEST_F(DiskIdentityTest, DefaultScheduleComparesAndNamesTheNextDisk) {
  struct Case {
    const char* what;
    int day;
    std::string file;
    Lines lines;
    bool mismatch;
    std::string expected, next;
  } cases[] = {
      {"Monday with Disk3",
       Mon,
       "Disk3\r\n01/12/26 10:00:00\r\n" + Warning + "\r\n",
       {"Checking Disk ID", "Disk ID INCORRRECT: ID = Disk3, Should be: Disk1", "Next Disk is: Disk2",
        "Disk ID Disk3"},
       true,
       "Disk1",
       "Disk2"},
      {"Monday with disk1 in lower case",
       Mon,
       "disk1\r\n",
       {"Checking Disk ID", "Disk ID Check: OK", "Next Disk is: Disk2", "Disk ID disk1"},
       false,
       "Disk1",
       "Disk2"},
      {"Friday: the weekend is off, Monday is next",
       Fri,
       "Disk2",
       {"Checking Disk ID", "Disk ID Check: OK", "Next Disk is: Disk1", "Disk ID Disk2"},
       false,
       "Disk2",
       "Disk1"},
      {"Thursday, written by hand with LF only", Thu, "DISK1\nnote\n",
       Lines{"Checking Disk ID", "Disk ID Check: OK", "Next Disk is: Disk2", "Disk ID DISK1"}, false, "Disk1",
       "Disk2"},
      {"Saturday is not checked", Sat, "Disk1\r\n", {"Disk ID Disk1"}, false, "Disk3", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(idFile, c.file);
    view.memo.clear();
    values = TRunValues{};
    EXPECT_EQ(Check(c.day), c.lines);
    EXPECT_EQ(values.diskMismatch, c.mismatch);
    EXPECT_EQ(values.expectedId, c.expected);
    EXPECT_EQ(values.nextDisk, c.next);
    EXPECT_EQ(values.foundId, c.lines.back().substr(std::string("Disk ID ").size()));
    EXPECT_EQ(ReadFile(idFile), c.file);  // a check never rewrites the label
  }
  EXPECT_TRUE(out.ErrorLines().empty());  // a wrong disk is no error line
}

TEST_F(DiskIdentityTest, ANewDiskIsLabelledWithTodaysDisk) {
  EXPECT_EQ(Check(Tue), Lines{"Disk ID "});
  EXPECT_EQ(ReadFile(idFile), "Disk2\r\n12/08/26 09:30:00\r\n" + Warning + "\r\n");
  EXPECT_FALSE(values.diskMismatch);
  EXPECT_EQ(values.nextDisk, "");
  EXPECT_EQ(values.foundId, "");

  // Labelled at midnight the time is left out; an unchecked day labels all the same.
  fs::remove(idFile);
  CheckDiskIdentity(out, notifier, disk.Path() + "/", At(Sun, 0, 0), values);
  EXPECT_EQ(ReadFile(idFile), "Disk1\r\n12/13/26\r\n" + Warning + "\r\n");

  // The next run reads the label back.
  view.memo.clear();
  EXPECT_EQ(Check(Mon),
            (Lines{"Checking Disk ID", "Disk ID Check: OK", "Next Disk is: Disk2", "Disk ID Disk1"}));
}

TEST_F(DiskIdentityTest, AnEmptyFirstLineIsForgottenAndTheNextRunLabelsAfresh) {
  for (const std::string& content : {std::string("\r\nDisk1\r\n"), std::string()}) {
    WriteFile(idFile, content);
    view.memo.clear();
    EXPECT_EQ(Check(Mon), Lines{"Disk ID "});
    EXPECT_FALSE(FileExists(idFile));
    EXPECT_FALSE(values.diskMismatch);
    EXPECT_EQ(values.nextDisk, "");
  }
  view.memo.clear();
  EXPECT_EQ(Check(Wed), Lines{"Disk ID "});
  EXPECT_EQ(ReadDiskID(idFile), "Disk3");
}

TEST_F(DiskIdentityTest, ALabelWrittenInAnotherCaseIsTheDisksOwn) {
  WriteFile(disk / "id.TXT", "Disk1\r\n");
  EXPECT_EQ(Check(Mon).back(), "Disk ID Disk1");
  EXPECT_FALSE(values.diskMismatch);
  EXPECT_FALSE(fs::exists(idFile));  // no second label beside it
}

TEST_F(DiskIdentityTest, NoOtherCheckedDayMeansNoNextDisk) {
  notifier.IDDiskTue = notifier.IDDiskWed = notifier.IDDiskThur = notifier.IDDiskFri = false;
  WriteFile(idFile, "Disk2\r\n");
  EXPECT_EQ(Check(Mon),
            (Lines{"Checking Disk ID", "Disk ID INCORRRECT: ID = Disk2, Should be: Disk1", "Disk ID Disk2"}));
  EXPECT_EQ(values.nextDisk, "");
  EXPECT_TRUE(values.diskMismatch);
}

TEST(DiskSchedule, WeekdaysFromSundayAndTheNextCheckedDayWrapsTheWeek) {
  TNotifier n;
  n.SundayID = "Su";
  n.MondayID = "Mo";
  n.TuesdayID = "Tu";
  n.WednesdayID = "We";
  n.ThursdayID = "Th";
  n.FridayID = "Fr";
  n.SaturdayID = "Sa";
  const std::string ids[] = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};
  for (int d = 0; d < 7; ++d) EXPECT_EQ(ScheduledID(n, d), ids[d]);
  n.IDDiskSun = true;
  for (int d = 0; d < 7; ++d) {
    EXPECT_EQ(CheckFlag(n, d), d == 0);
    EXPECT_EQ(NextDisk(n, d), d == 0 ? "" : "Su") << d;  // today itself is never the next disk
  }
  n.IDDiskSat = true;
  EXPECT_EQ(NextDisk(n, 0), "Sa");
  EXPECT_EQ(NextDisk(n, 6), "Su");
  EXPECT_EQ(NextDisk(n, 3), "Sa");
}

TEST(DiskIdentityFile, AnUnreadableFileRaisesWithPathAndReason) {
  TTempDir d;
  try {
    ReadDiskID(d / "missing/ID.txt");
    FAIL() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot read " + d / "missing/ID.txt" + ": No such file or directory");
  }
  EXPECT_THROW(WriteDiskID(d / "missing/ID.txt", "Disk1", Now()), EInOutError);
}

TEST_F(DiskIdentityTest, OnlyARegularFileIsReadAndOnlyItsFirst64KiB) {
  const std::string secret = disk / "secret";
  WriteFile(secret, "root only\r\n");
  struct {
    const char* name;
    std::function<void()> make;
    std::string id;  // empty: refused, with this reason
    std::string reason;
  } cases[] = {
      {"no line break", [&] { WriteFile(idFile, "Disk2"); }, "Disk2", ""},
      {"first line ends at the bound",
       [&] { WriteFile(idFile, std::string(IdentityReadBound - 1, 'd') + "\n" + std::string(100, 'x')); },
       std::string(IdentityReadBound - 1, 'd'), ""},
      {"long line", [&] { WriteFile(idFile, std::string(10 << 20, 'd')); }, "",
       "its first line is longer than 65536 bytes"},
      {"link", [&] { fs::create_symlink(secret, idFile); }, "",
       "it is a symbolic link, which is not followed"},
      {"fifo", [&] { ::mkfifo(idFile.c_str(), 0600); }, "", "not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(idFile);
    c.make();
    try {
      EXPECT_EQ(ReadDiskID(idFile), c.id);
      EXPECT_TRUE(c.reason.empty());
    } catch (const EInOutError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot read " + idFile + ": " + c.reason);
    }
  }
  // Writing never goes through a link or into a FIFO.
  fs::remove(idFile);
  fs::create_symlink(disk / "elsewhere", idFile);
  EXPECT_THROW(WriteDiskID(idFile, "Disk1", Now()), EInOutError);
  EXPECT_FALSE(fs::exists(disk / "elsewhere"));
  fs::remove(idFile);
  ::mkfifo(idFile.c_str(), 0600);
  EXPECT_THROW(WriteDiskID(idFile, "Disk1", Now()), EInOutError);
}

TEST_F(DiskIdentityTest, TheDiskIsThereOnlyWhenItsMountPointHasSomethingMounted) {
  const std::string point = disk / "media", inside = point + "/tavik", fstab = disk / "fstab";
  fs::create_directories(inside);  // as a run that once wrote to the bare mount point left it
  WriteFile(fstab, "# comment\n/dev/sdz1\t" + point + "  ext4 defaults 0 0\n");
  EXPECT_FALSE(BackupDiskPresent(point, fstab));
  EXPECT_FALSE(BackupDiskPresent(inside, fstab));
  EXPECT_FALSE(BackupDiskPresent(disk / "missing", fstab));
  EXPECT_TRUE(BackupDiskPresent(inside, disk / "no-such-table"));
  if (::mount("tmpfs", point.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "mount not permitted";
  fs::create_directories(inside);
  EXPECT_TRUE(BackupDiskPresent(point, fstab));
  EXPECT_TRUE(BackupDiskPresent(inside + "/", fstab));
  ::umount2(point.c_str(), MNT_DETACH);
}

namespace {
// Whole runs: the identity step sits between the start line and the volumes.
class DiskIdentityRunTest : public DiskIdentityTest {
 protected:
  void SetUp() override {
    DiskIdentityTest::SetUp();
    PinClock(At(Mon));
    fs::create_directories(src);
    WriteFile(src + "/C_a.spf", "full");
  }
  void TearDown() override { UnpinClock(); }
  TBackupRunner& Run(const std::string& idPath) {
    WriteFile(jobPath, "[Main]\r\nSystemDiskAllowed=1\r\nMaxImageAgeHours=0\r\nIDPath=" + idPath +
                           "\r\nSource=" + src + "\r\nDestination=" + disk.Path() + "/C\r\nVolume=C\r\n");
    runner.SetJobSettingsPath(jobPath);
    runner.RunBackup();
    return runner;
  }
  size_t Index(const std::string& line) const {
    return static_cast<size_t>(std::find(view.memo.begin(), view.memo.end(), line) - view.memo.begin());
  }
  TScriptedUi ui;
  TTempDir work;
  std::string src = work / "src";
  std::string jobPath = work / "job.ini";
  TBackupRunner runner{logger, view, ParseSwitches({"-h"})};
};
}  // namespace

TEST_F(DiskIdentityRunTest, TheStepRunsAfterTheStartAndBeforeTheVolumes) {
  WriteFile(idFile, "Disk3\r\n");
  Run(disk.Path());  // no trailing separator: the reader adds it
  EXPECT_LT(Index("Start: 07/12/2026 09:30"), Index("Checking Disk ID"));
  EXPECT_LT(Index("Checking Disk ID"), Index("Disk ID Disk3"));
  EXPECT_LT(Index("Disk ID Disk3"), Index("Processing Volume C ...."));
  EXPECT_LT(Index("Completed Sucessfully"), view.memo.size());
  const TRunValues& v = runner.Values();
  EXPECT_EQ(v.foundId, "Disk3");
  EXPECT_EQ(v.expectedId, "Disk1");
  EXPECT_EQ(v.nextDisk, "Disk2");
  EXPECT_TRUE(v.diskMismatch);
  EXPECT_FALSE(runner.LastRunHadErrors());

  // The flag is cleared at the start of every run.
  WriteFile(idFile, "Disk1\r\n");
  Run(disk.Path());
  EXPECT_FALSE(runner.Values().diskMismatch);
}

TEST_F(DiskIdentityRunTest, IDDiskOffLeavesTheDiskAlone) {
  WriteProfileString(SettingsFileName(), "Notifications", "IDDisk", "0");
  WriteFile(idFile, "Disk3\r\n");
  Run(disk.Path());
  for (const std::string& l : view.memo) EXPECT_EQ(l.find("Disk ID"), std::string::npos) << l;
  EXPECT_EQ(Index("Checking Disk ID"), view.memo.size());
  EXPECT_FALSE(runner.Values().diskMismatch);
  EXPECT_EQ(runner.Values().nextDisk, "");
  EXPECT_EQ(ReadFile(idFile), "Disk3\r\n");
}

TEST_F(DiskIdentityRunTest, ADiskThatCannotBeLabelledEndsTheRunBeforeTheVolumes) {
  // A link where the label goes is never written through, not even when it leads nowhere.
  ASSERT_EQ(::symlink((work / "elsewhere").c_str(), idFile.c_str()), 0);
  Run(disk.Path());
  const std::string line =
      "Error: Cannot create " + idFile + ": " + "it is a symbolic link, which is not followed";
  EXPECT_LT(Index("Start: 07/12/2026 09:30"), Index(line));
  EXPECT_LT(Index(line), Index("End: 07/12/2026 09:30"));
  EXPECT_EQ(Index("Processing Volume C ...."), view.memo.size());
  EXPECT_FALSE(fs::exists(work / "elsewhere"));
  EXPECT_FALSE(fs::exists(disk.Path() + "/C"));
  EXPECT_EQ(view.memo.back(), "*** Done ***");
  EXPECT_TRUE(runner.LastRunHadErrors());
  EXPECT_EQ(view.closeRequests, 1);
}
