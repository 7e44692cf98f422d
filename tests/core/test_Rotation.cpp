#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uRotation.h"
#include "notify/uNotifier.h"
#include "platform/uIniFile.h"
#include "run/uRunBackup.h"
#include "tests/support/RunRecorder.h"
#include "tests/support/TestSupport.h"

using namespace tavik;
using tavik::test::ReadFile;
using tavik::test::SetMTime;
using tavik::test::TRunRecorder;
using tavik::test::TScriptedUi;
using tavik::test::TSealedEnv;
using tavik::test::TTempDir;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

void Make(const std::string& path, long long mtime = 1'000'000, const std::string& content = "image data") {
  tavik::test::WriteFile(path, content);
  SetMTime(path, mtime);
}

std::set<std::string> Names(const std::string& folder) {
  return tavik::test::ImageNames(folder);
}

// The listing order the folder gives for these two names (it is not creation order on every
// file system), so ties can be set up against it.
std::pair<std::string, std::string> InListingOrder(const std::string& folder, const std::string& a,
                                                   const std::string& b) {
  Make(folder + "/" + a);
  Make(folder + "/" + b);
  std::vector<TFoundFile> listed = ListFiles(folder + "/*");
  EXPECT_EQ(listed.size(), 2u);
  return {listed[0].name, listed[1].name};
}

class RotationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    PinClock(FromLocal(2026, 12, 7, 9, 30, 0));
    logger.ConfigureLog(true, "TavikShadowCopy", "");
    LoadSettings(notifier);
    fc.ProgBar = &view.Prog();
    fc.KeepFileDate = true;
    fs::create_directories(src);
    fs::create_directories(dst);
  }
  void TearDown() override { UnpinClock(); }

  void Rotate(const std::string& volume = "C") { RotateVolume(out, fc, notifier, Job(src, dst, volume)); }
  static TVolumeJob Job(const std::string& s, const std::string& d, const std::string& v) {
    return TVolumeJob{s, d, v, true, true};
  }

  TSealedEnv env;
  TScriptedUi ui;
  TQorvLogger logger;
  TRunRecorder view;
  TLineOutput out{logger, view};
  TQorvFileCopier fc;
  TNotifier notifier;
  TTempDir dir;
  std::string src = dir / "src";
  std::string dst = dir / "dst";
};

}  // namespace

TEST_F(RotationTest, FindLatestFileNewestAtTwoSecondsFirstListedOnATie) {
  EXPECT_EQ(FindLatestFile(src + "/C*.spf"), "");

  // One second apart inside one two-second slot: a tie, so the first listed wins even though
  // the other is newer to the second.
  auto [first, second] = InListingOrder(src, "C_a.spf", "C_b.spf");
  SetMTime(src + "/" + first, 1'000'000);
  SetMTime(src + "/" + second, 1'000'001);
  EXPECT_EQ(FindLatestFile(src + "/C*.spf"), src + "/" + first);

  // One second apart across a slot boundary: the later slot wins.
  SetMTime(src + "/" + first, 1'000'001);
  SetMTime(src + "/" + second, 1'000'002);
  EXPECT_EQ(FindLatestFile(src + "/C*.spf"), src + "/" + second);

  // The mask is case-blind, other prefixes and extensions and folders never count, and the
  // result keeps the file's own spelling.
  Make(src + "/c_NEWEST.SPF", 1'000'100);
  Make(src + "/D_other.spf", 1'000'200);
  Make(src + "/C_x.spi", 1'000'200);
  fs::create_directories(src + "/C_folder.spf");
  SetMTime(src + "/C_folder.spf", 1'000'300);
  EXPECT_EQ(FindLatestFile(src + "/C*.spf"), src + "/c_NEWEST.SPF");
}

TEST_F(RotationTest, FindLatestFileComparesRealTimeAcrossTheAutumnClockChange) {
  tavik::test::TScopedTz berlin("Europe/Berlin");
  // 02:30 summer time, then 02:10 winter time forty minutes later: the later image reads
  // earlier on the local clock.
  Make(src + "/C_summer.spf", 1'792'888'200);
  Make(src + "/C_winter.spf", 1'792'890'600);
  EXPECT_EQ(FindLatestFile(src + "/C*.spf"), src + "/C_winter.spf");
}

TEST_F(RotationTest, OlderChainReplacedIncrementalsCopiedInCaseBlindOrder) {
  Make(src + "/C_old.spf", 1'000'000);
  Make(src + "/C_old_i1.spi", 1'000'010);
  Make(src + "/C_new.spf", 2'000'000, "the new full image");
  Make(src + "/C_new.md5", 2'000'001);
  Make(src + "/C_new_i2.spi", 2'000'020);
  Make(src + "/c_new_I1.spi", 2'000'010);
  Make(src + "/C_NEW_i1.md5", 2'000'011);
  Make(src + "/C_new_i3.spi", 2'000'030);
  Make(src + "/D_later.spf", 3'000'000);  // another volume's, newer

  Make(dst + "/C_old.spf");
  Make(dst + "/C_old_i1.spi");
  Make(dst + "/C_old.md5");
  Make(dst + "/C_new.md5", 5, "own chksum");  // the latest image's own checksum, its size: stays
  Make(dst + "/c_new_i3.SPI", 5, "x");        // present under another case, cut short: copied again

  Rotate();

  const Lines want = {
      "Processing Volume C ....",
      "Latest .spf file C ....",
      "Latest .spf file " + src + "/C_new.spf found in " + src,
      "Checking destination folders full backups. 1 full backups to check.",
      // The disk has room for both chains: the old one goes once the new image is in place.
      "Copy latest full backup.",
      "File copying " + src + "/C_new.spf to " + dst,
      "File copied " + src + "/C_new.spf to " + dst,
      "File deleting " + dst + "/C_old.spf",
      "File deleted " + dst + "/C_old.spf",
      "Searching for .spi and .md5 files in " + dst,
      "Checking destination for old incrementals to remove. 2 increments to check.",
      "Delete file " + dst + "/C_old_i1.spi",
      "File deleted " + dst + "/C_old_i1.spi",
      "Delete file " + dst + "/C_old.md5",
      "File deleted " + dst + "/C_old.md5",
      "Searching for new incrementals",
      "Found a possible 3 incrementals to copy. Copying ones that do not exist.",
      "File copying " + src + "/C_NEW_i1.md5 to " + dst + "/",
      "File copied " + src + "/C_NEW_i1.md5 to " + dst + "/",
      "File copying " + src + "/c_new_I1.spi to " + dst + "/",
      "File copied " + src + "/c_new_I1.spi to " + dst + "/",
      "File copying " + src + "/C_new_i2.spi to " + dst + "/",
      "File copied " + src + "/C_new_i2.spi to " + dst + "/",
      "File on disk differs in size from its source, copied again: " + dst + "/c_new_i3.SPI",
      "File copying " + src + "/C_new_i3.spi to " + dst + "/",
      "File copied " + src + "/C_new_i3.spi to " + dst + "/",
      "File deleting " + dst + "/c_new_i3.SPI",
      "File deleted " + dst + "/c_new_i3.SPI",
      "Completed Sucessfully",
      // The checksum file that was on the disk before has no SHA-256 yet; the copies have theirs.
      "1 file in " + dst + "/ without an entry in SHA256SUMS (entered at the next --verify): C_new.md5",
  };
  EXPECT_EQ(view.memo, want);
  EXPECT_TRUE(out.ErrorLines().empty());
  EXPECT_EQ(Names(dst), (std::set<std::string>{"C_new.spf", "C_new.md5", "C_new_i3.spi", "C_NEW_i1.md5",
                                               "c_new_I1.spi", "C_new_i2.spi"}));
  EXPECT_EQ(ReadFile(dst + "/C_new.spf"), "the new full image");
  EXPECT_EQ(fs::last_write_time(dst + "/C_new.spf"), fs::last_write_time(src + "/C_new.spf"));
  EXPECT_EQ(ReadFile(dst + "/C_new_i3.spi"), "image data");
  EXPECT_EQ(ReadFile(dst + "/C_new.md5"), "own chksum");
  // Every copy moved the bar and left it at 0.
  EXPECT_GT(*std::max_element(view.prog.positions.begin(), view.prog.positions.end()), 0);
  EXPECT_EQ(view.prog.position, 0);
}

TEST_F(RotationTest, LatestPresentUnderAnyCaseIsNeitherCopiedNorDeleted) {
  Make(src + "/C_new.spf", 2'000'000, "full");
  Make(src + "/C_new_i1.spi", 2'000'010);
  Make(dst + "/c_NEW.SPF", 7, "FULL");  // its size: whole
  Make(dst + "/C_older.spf");
  Make(dst + "/D_other.spf");  // another prefix's full image is not this volume's to judge
  Make(dst + "/C_new_i1.spi");

  Rotate();

  const Lines want = {
      "Processing Volume C ....",
      "Latest .spf file C ....",
      "Latest .spf file " + src + "/C_new.spf found in " + src,
      "Checking destination folders full backups. 2 full backups to check.",
      "File deleting " + dst + "/C_older.spf",
      "File deleted " + dst + "/C_older.spf",
      "Searching for .spi and .md5 files in " + dst,
      "Checking destination for old incrementals to remove. 1 increments to check.",
      "Searching for new incrementals",
      "Found a possible 1 incrementals to copy. Copying ones that do not exist.",
      "Completed Sucessfully",
      "2 files in " + dst +
          "/ without an entry in SHA256SUMS (entered at the next --verify): C_new_i1.spi, c_NEW.SPF",
  };
  EXPECT_EQ(view.memo, want);
  EXPECT_EQ(ReadFile(dst + "/c_NEW.SPF"), "FULL");
  EXPECT_EQ(Names(dst), (std::set<std::string>{"c_NEW.SPF", "D_other.spf", "C_new_i1.spi"}));
}

TEST_F(RotationTest, AFailedDeletionIsAnErrorLineAndTheVolumeGoesOn) {
  Make(src + "/C_new.spf", 2'000'000);
  Make(dst + "/C_old.spf");
  Make(dst + "/C_old_i1.spi");
  // The file vanishes between the listing and the deletion, which fails even for root.
  view.onProcess = [&] {
    const std::string& last = view.memo.back();
    for (const char* before : {"File deleting ", "Delete file "})
      if (last.rfind(before, 0) == 0) fs::remove(last.substr(std::string(before).size()));
  };
  Rotate();
  const Lines& m = view.memo;
  EXPECT_NE(std::find(m.begin(), m.end(), "File deleting " + dst + "/C_old.spf"), m.end());
  EXPECT_NE(std::find(m.begin(), m.end(), "Delete file " + dst + "/C_old_i1.spi"), m.end());
  EXPECT_EQ(std::count_if(m.begin(), m.end(),
                          [](const std::string& l) { return l.rfind("File deleted ", 0) == 0; }),
            0);
  EXPECT_EQ(m.back(), "Completed Sucessfully");
  EXPECT_EQ(out.ErrorLines(),
            (Lines{"File not deleted " + dst + "/C_old.spf: No such file or directory",
                   "File not deleted " + dst + "/C_old_i1.spi: No such file or directory"}));
}

TEST_F(RotationTest, MissingDestinationCreatedOnlyWhenSettingsSaySo) {
  for (bool create : {true, false}) {
    SCOPED_TRACE(create);
    TTempDir d;
    const std::string missing = d / "backups/vol/C";
    Make(src + "/C_new.spf", 2'000'000);
    notifier.CreateDestFolder = create;
    view.memo.clear();
    out.ErrorLines().clear();
    // The folders made are as private as the source's (with what the run needs to fill them).
    fs::permissions(src, fs::perms::owner_read | fs::perms::group_read | fs::perms::group_exec);
    const mode_t umask = ::umask(0);
    RotateVolume(out, fc, notifier, Job(src, missing, "C"));
    ::umask(umask);
    EXPECT_EQ(FolderExists(missing), create);
    if (create) {
      EXPECT_TRUE(FileExists(missing + "/C_new.spf"));
      for (const std::string& made : {d / "backups", d / "backups/vol", missing})
        EXPECT_EQ(fs::status(made).permissions(),
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec)
            << made;
      EXPECT_EQ(view.memo.back(), "Completed Sucessfully");
      EXPECT_TRUE(out.ErrorLines().empty());
    } else {
      EXPECT_EQ(view.memo.back(), "Destination Directory " + missing + " not found");
      EXPECT_EQ(out.ErrorLines(), Lines{"Destination Directory " + missing + " not found"});
    }
  }
}

TEST_F(RotationTest, IncompleteVolumesEndInTheirErrorLine) {
  struct Case {
    TVolumeJob job;
    std::string line;
  } cases[] = {
      {Job(dir / "nowhere", dst, "C"), "Source Directory " + dir / "nowhere" + " not found"},
      {Job("", dst, "C"), "Source Directory  not found"},
      {TVolumeJob{src, dst, "C", true, false},
       "Volumne or Destination missing from ini file for source " + src},
      {TVolumeJob{src, "", "", false, true},
       "Volumne or Destination missing from ini file for source " + src},
      {Job(src, dst, ""), "Volumne or Destination missing from ini file for source " + src},
  };
  Make(src + "/C_new.spf");
  for (const Case& c : cases) {
    view.memo.clear();
    out.ErrorLines().clear();
    RotateVolume(out, fc, notifier, c.job);
    EXPECT_EQ(view.memo, Lines{c.line});
    EXPECT_EQ(out.ErrorLines(), Lines{c.line});
  }
  EXPECT_EQ(Names(dst), std::set<std::string>{});
}

TEST_F(RotationTest, NoFullImageInTheSourceTouchesNothing) {
  Make(src + "/C_old_i1.spi");
  Make(dst + "/C_old.spf");
  Make(dst + "/C_old_i1.spi");
  Make(dst + "/C_old.md5");
  Rotate();
  EXPECT_EQ(view.memo, (Lines{"Processing Volume C ....", "No full backup C*.spf found in " + src +
                                                              ", nothing deleted or copied in " + dst}));
  // A source share that is not mounted looks like this: the office must hear of it.
  EXPECT_EQ(out.ErrorLines(), Lines{view.memo.back()});
  EXPECT_EQ(Names(dst), (std::set<std::string>{"C_old.spf", "C_old_i1.spi", "C_old.md5"}));
}

TEST_F(RotationTest, ACopyTheCopierGaveUpOnEndsTheVolumeWithAnErrorLine) {
  struct Case {
    std::string blocked;  // the destination name the copier cannot create
    TMsgAnswer answer;
    std::string line;
  } cases[] = {
      {"C_new.spf", TMsgAnswer::Abort,
       "File not copied " + src + "/C_new.spf to " + dst + " (aborted: File exists)"},
      {"C_new_i1.spi", TMsgAnswer::Ignore,
       "File not copied " + src + "/C_new_i1.spi to " + dst + "/ (ignored: File exists)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blocked);
    fs::remove_all(dst);
    fs::create_directories(dst);
    Make(src + "/C_new.spf", 2'000'000);
    Make(src + "/C_new_i1.spi", 2'000'010);
    Make(src + "/C_new_i2.spi", 2'000'020);
    // A folder holding the copier's temporary name: its creation fails for root as well.
    Make(TQorvFileCopier::PartialPath(dst + "/" + c.blocked) + "/keep");
    ui.ariAnswers = {c.answer};
    view.memo.clear();
    out.ErrorLines().clear();
    Rotate();
    EXPECT_EQ(out.ErrorLines(), Lines{c.line});
    EXPECT_EQ(view.memo.back(), c.line);
    EXPECT_EQ(std::count(view.memo.begin(), view.memo.end(), "Completed Sucessfully"), 0);
    for (const auto& l : view.memo) EXPECT_NE(l.find("File copied " + src + "/" + c.blocked), 0u) << l;
    EXPECT_FALSE(FileExists(dst + "/" + c.blocked));
    EXPECT_FALSE(FileExists(dst + "/C_new_i2.spi"));  // the volume stopped at the failed file
    EXPECT_EQ(view.prog.position, 0);
  }
}

TEST(SharedDestinations, SameFolderHoweverWrittenIsReportedOncePerLaterVolume) {
  TSealedEnv env;
  TQorvLogger logger;
  logger.ConfigureLog(true, "TavikShadowCopy", "");
  TRunRecorder view;
  TLineOutput out{logger, view};
  TTempDir dir;
  const std::string a = dir / "a", b = dir / "b";
  fs::create_directories(a);
  const std::vector<TVolumeJob> jobs = {
      {"/s1", a, "C", true, true},
      {"/s2", b, "E", true, true},
      {"/s3", dir / "x/../a/", "F", true, true},
      {"/s4", a, "", true, false},  // incomplete: never processed, so never sweeps
      {"/s5", fs::relative(b).string() + "/", "G", true, true},   // not there yet
      {"/s6", fs::relative(a).string() + "/.", "H", true, true},  // from the working folder
  };
  EXPECT_EQ(RefuseOverlappingFolders(out, jobs), (std::vector<bool>{false, false, true, false, true, true}));
  const std::string tail = "; a destination folder must belong to one volume only";
  const Lines want = {
      "Destination Directory " + a + " (also written " + dir / "x/../a/" +
          ") is shared by volume C (source /s1) and volume F (source /s3)" + tail,
      "Destination Directory " + b + " (also written " + fs::relative(b).string() +
          "/) is shared by volume E (source /s2) and volume G (source /s5)" + tail,
      "Destination Directory " + a + " (also written " + fs::relative(a).string() +
          "/.) is shared by volume C (source /s1) and volume H (source /s6)" + tail,
  };
  EXPECT_EQ(out.ErrorLines(), want);
  EXPECT_EQ(view.memo, want);
}

namespace {
// Whole runs: the job file names the volumes, the identity step is off.
class RotationRunTest : public RotationTest {
 protected:
  void SetUp() override {
    RotationTest::SetUp();
    WriteProfileString(SettingsFileName(), "Notifications", "IDDisk", "0");
  }
  void WriteJob(const std::string& sources, const std::string& dests, const std::string& volumes) {
    // The images are dated in 1970, on purpose.
    tavik::test::WriteFile(jobPath, "[Main]\r\nMaxImageAgeHours=0\r\nSource=" + sources +
                                        "\r\nDestination=" + dests + "\r\nVolume=" + volumes + "\r\n");
  }
  Lines RunLines() {
    TBackupRunner runner(logger, view, ParseSwitches({"-h"}));
    runner.SetJobSettingsPath(jobPath);
    runner.RunBackup();
    hadErrors = runner.LastRunHadErrors();
    return view.memo;
  }
  static size_t At(const Lines& l, const std::string& line) {
    return static_cast<size_t>(std::find(l.begin(), l.end(), line) - l.begin());
  }
  bool hadErrors = false;
  std::string jobPath = dir / "job.ini";
  std::string dst2 = dir / "dst2";
};
}  // namespace

TEST_F(RotationRunTest, TheSecondVolumeSweepsOnlyItsOwnDestination) {
  // Two volumes sharing one source folder, each with its own destination.
  Make(src + "/C_a.spf", 2'000'000);
  Make(src + "/C_a_i1.spi", 2'000'010);
  Make(src + "/E_b.spf", 2'000'000);
  Make(src + "/E_b_i1.spi", 2'000'010);
  Make(dst2 + "/E_old_i1.spi");
  WriteJob(src + "," + src, dst + "," + dst2, "C,E");
  const Lines l = RunLines();
  EXPECT_EQ(std::count(l.begin(), l.end(), "Completed Sucessfully"), 2);
  EXPECT_LT(At(l, "Processing Volume C ...."), At(l, "Processing Volume E ...."));
  EXPECT_EQ(Names(dst), (std::set<std::string>{"C_a.spf", "C_a_i1.spi"}));
  EXPECT_EQ(Names(dst2), (std::set<std::string>{"E_b.spf", "E_b_i1.spi"}));
  EXPECT_FALSE(hadErrors);
}

TEST_F(RotationRunTest, SharedDestinationIsReportedBeforeTheVolumes) {
  Make(src + "/C_a.spf", 2'000'000);
  Make(src + "/C_a_i1.spi", 2'000'010);
  Make(src + "/E_b.spf", 2'000'000);
  WriteJob(src + "," + src, dst + "," + dst + "/", "C,E");
  const Lines l = RunLines();
  const std::string line = "Destination Directory " + dst + " (also written " + dst +
                           "/) is shared by volume C (source " + src + ") and volume E (source " + src +
                           "); a destination folder must belong to one volume only";
  EXPECT_LT(At(l, line), At(l, "Processing Volume C ...."));
  // The later volume is not processed, so its sweep cannot take the first one's incrementals.
  EXPECT_EQ(At(l, "Processing Volume E ...."), l.size());
  EXPECT_EQ(Names(dst), (std::set<std::string>{"C_a.spf", "C_a_i1.spi"}));
  EXPECT_TRUE(hadErrors);
}

TEST_F(RotationRunTest, ADestinationOverlappingAnySourceFolderIsRefused) {
  struct Case {
    const char* name;
    std::string sources, dests, line;
  } cases[] = {
      {"is its source", src, src,
       "Destination Directory " + src + " of volume C is the source folder " + src},
      {"inside its source", src, src + "/copies",
       "Destination Directory " + src + "/copies of volume C lies inside the source folder " + src},
      {"contains its source", src, dir.Path(),
       "Destination Directory " + dir.Path() + " of volume C contains the source folder " + src},
      {"is another volume's source", dst2 + "," + src, dst + "," + dst2,
       "Destination Directory " + dst2 + " of volume C is the source folder " + dst2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src);
    Make(src + "/C_a.spf", 2'000'000);
    Make(src + "/C_b.spf", 3'000'000);
    Make(src + "/C_a_i1.spi", 2'000'010);
    Make(dst2 + "/C_x.spf", 2'000'000);
    view.memo.clear();
    WriteJob(c.sources, c.dests, "C,C");
    const Lines l = RunLines();
    const std::string line =
        c.line + " of volume C; a destination folder must lie apart from every source folder";
    EXPECT_EQ(std::count(l.begin(), l.end(), line), 1) << ::testing::PrintToString(l);
    EXPECT_TRUE(hadErrors);
    // Nothing of the server's is deleted.
    EXPECT_EQ(Names(src), (std::set<std::string>{"C_a.spf", "C_a_i1.spi", "C_b.spf"}));
  }
}

TEST_F(RotationRunTest, AFailureOrAGivenUpCopyEndsOnlyItsVolume) {
  Make(src + "/C_a.spf", 2'000'000);
  Make(src + "/E_b.spf", 2'000'000);
  Make(src + "/G_c.spf", 2'000'000);
  const std::string dst3 = dir / "dst3";
  WriteJob(src + "," + src + "," + src, dst + "," + dst2 + "," + dst3, "C,E,G");
  // Volume C: the operator aborts the copy. Volume E: its source vanishes, so the copier cannot
  // open it. Volume G is still processed, with its own lines.
  Make(TQorvFileCopier::PartialPath(dst + "/C_a.spf") + "/keep");
  view.onProcess = [&] {
    if (view.memo.back() == "File copying " + src + "/E_b.spf to " + dst2) fs::remove(src + "/E_b.spf");
  };
  const Lines l = RunLines();
  const std::string aborted = "File not copied " + src + "/C_a.spf to " + dst + " (aborted: File exists)";
  const std::string error = "Error: Cannot open " + src + "/E_b.spf";
  EXPECT_LT(At(l, aborted), At(l, "Processing Volume E ...."));
  EXPECT_LT(At(l, "Processing Volume E ...."), At(l, error));
  EXPECT_LT(At(l, error), At(l, "Processing Volume G ...."));
  EXPECT_LT(At(l, "Processing Volume G ...."), At(l, "Completed Sucessfully"));
  EXPECT_LT(At(l, "Completed Sucessfully"), At(l, "End: 07/12/2026 09:30"));
  EXPECT_EQ(std::count(l.begin(), l.end(), "Completed Sucessfully"), 1);
  EXPECT_EQ(ReadFile(dst3 + "/G_c.spf"), "image data");
  EXPECT_EQ(l.back(), "*** Done ***");
  EXPECT_EQ(view.closeRequests, 1);
}
