// A backup disk of its own (a sized tmpfs at IDPath) with two volumes on it, and the world changing
// under the run: the disk pulled between files, images that cannot be read or can never fit,
// files on the disk that cannot be deleted or are not what their names say. Each run ends by
// itself; what it may not touch stays as it was, and every fault is an error line and a mail.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "history/uHistory.h"
#include "tests/faults/FaultRun.h"

namespace tavik::test {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Matcher;
using ::testing::StartsWith;
using Names = std::set<std::string>;

class WorldChanges;

struct TWorldCase {
  const char* name;
  const char* diskSize;
  std::function<void(WorldChanges&)> prepare;
  // The fault strikes once, right after the run writes this line (none: no fault mid-run).
  std::function<std::string(const WorldChanges&)> strikeAfter;
  std::function<void(WorldChanges&)> strike;
  bool duringCopy;  // the fault strikes at the first block of the copy the line begins instead
  std::function<std::vector<Matcher<std::string>>(const WorldChanges&)> errors;  // the error lines
  std::function<void(WorldChanges&)> expect;                                     // the disk after the run
};

void PrintTo(const TWorldCase& c, std::ostream* os) {
  *os << c.name;
}

class WorldChanges : public MailedFaultRunTest, public ::testing::WithParamInterface<TWorldCase> {
 public:
  void SetUp() override {
    MailedFaultRunTest::SetUp();
    std::filesystem::create_directories(disk);
    WriteFile(src + "/C_new_i2.spi", "incremental two");
    WriteFile(src + "/E_new.spf", "volume E");
    WriteFile(jobPath, "[Main]\r\nIDPath=" + disk + "\r\nSource=" + src + "," + src + "\r\nDestination=" + c +
                           "," + e + "\r\nVolume=C,E\r\n");
  }
  using MailedFaultRunTest::dir;
  using MailedFaultRunTest::image;
  using MailedFaultRunTest::logPath;
  using MailedFaultRunTest::src;

  void Unplug() { ::umount2(disk.c_str(), MNT_DETACH); }
  // The previous chain of volume C on the disk.
  void OldChain(size_t fullSize = 8) {
    std::filesystem::create_directories(c);
    WriteOld(c + "/C_old.spf", std::string(fullSize, 'o'));
    WriteOld(c + "/C_old_i1.spi", "previous");
  }
  // The job without an identity folder: the destinations are the only sign of the disk.
  void WithoutIDPath() {
    WriteFile(jobPath, "[Main]\r\nSource=" + src + "," + src + "\r\nDestination=" + c + "," + e +
                           "\r\nVolume=C,E\r\n");
  }
  static std::string GoneAt(const std::string& folder) {
    return "Backup disk at " + folder + " is gone: the run stops";
  }
  // The chain's files; the manifest beside them must pass sha256sum -c whatever happened.
  Names In(const std::string& folder) const { return ImageNames(folder); }

  std::vector<std::string> lines;  // what the run showed
  std::string disk = dir / "disk";
  std::string c = disk + "/C", e = disk + "/E";
  std::string gone = "Backup disk at " + disk + " is gone: the run stops";
};

TEST_P(WorldChanges, EachFaultIsAnErrorLineAndTouchesNothingItMayNot) {
  const TWorldCase& w = GetParam();
  TSmallDisk mounted(disk, w.diskSize);
  if (!mounted.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  if (w.prepare) w.prepare(*this);
  bool armed = false, struck = false;
  auto strike = [&] {
    armed = false;
    struck = true;
    w.strike(*this);
  };
  // Outlives the run: the hook below reads it on every line.
  const std::string after = w.strikeAfter ? w.strikeAfter(*this) : std::string();
  if (w.strikeAfter) {
    view.onProcess = [&] {
      if (struck || view.memo.back() != after) return;
      if (w.duringCopy)
        armed = true;
      else
        strike();
    };
  }
  const TRunResult r = RunUnattended([&](TQorvFileCopier& fc) {
    fc.OnProgress = [&](double, int32_t, int32_t) {
      if (armed) strike();
    };
  });
  view.onProcess = {};
  ASSERT_TRUE(r.endedByItself);
  EXPECT_EQ(r.closeRequests, 1);

  const std::vector<Matcher<std::string>> errors = w.errors(*this);
  // The lines these faults make; the run's own list is in the mail below.
  std::vector<std::string> errorLines;
  for (const std::string& l : r.lines)
    for (const char* part : {"Error: ", "Backup disk at ", "File skipped ", "File not deleted ",
                             " does not fit on ", ", newer than the newest full backup in "})
      if (l.find(part) != std::string::npos) {
        errorLines.push_back(l);
        break;
      }
  std::string shown;
  for (const std::string& l : r.lines) shown += l + "\n";
  lines = r.lines;
  EXPECT_THAT(errorLines, ElementsAreArray(errors)) << shown;
  EXPECT_EQ(r.hadErrors, !errors.empty());
  const auto mails = Mails(server);
  ASSERT_FALSE(mails.empty());
  if (errors.empty()) {
    EXPECT_THAT(mails[0].first, HasSubstr("Backup Completed"));
  } else {
    EXPECT_EQ(mails[0].first, "[S01:Office] Backup Errors");
    if (!errorLines.empty()) {
      EXPECT_THAT(mails[0].second, HasSubstr(errorLines.front() + "<br />"));
    }
  }
  w.expect(*this);
}

// The disk pulled: nothing after it is written anywhere, least of all below the mount point.
// No copy is even begun once the disk is gone: the log says nothing of one.
void ExpectNothingBelowTheMountPoint(WorldChanges& t) {
  t.Unplug();
  EXPECT_TRUE(std::filesystem::is_empty(t.disk)) << "written to the system disk";
  const auto gone = std::find_if(t.lines.begin(), t.lines.end(), [](const std::string& l) {
    return l.find(" is gone: the run stops") != l.npos;
  });
  ASSERT_NE(gone, t.lines.end());
  ASSERT_NE(gone, t.lines.begin());
  EXPECT_THAT(*std::prev(gone), ::testing::Not(StartsWith("File copying ")));
  // The volume the disk left under is in the history, with the reason, as --status shows it.
  THistory history(HistoryFilePath(), THistory::TMode::Read);
  const std::optional<THistoryRun> run = history.LastRun();
  ASSERT_TRUE(run);
  const std::vector<THistoryVolume> volumes = history.Volumes(run->id);
  ASSERT_FALSE(volumes.empty());
  EXPECT_EQ(volumes.back().result, *gone);
}

INSTANTIATE_TEST_SUITE_P(
    Disk, WorldChanges,
    ::testing::Values(
        TWorldCase{
            "UnpluggedBetweenTwoIncrementals", "4m", nullptr,
            [](const WorldChanges& t) { return "File copied " + t.src + "/C_new_i1.spi to " + t.c + "/"; },
            [](WorldChanges& t) { t.Unplug(); }, false,
            [](const WorldChanges& t) { return std::vector<Matcher<std::string>>{t.gone}; },
            ExpectNothingBelowTheMountPoint},
        TWorldCase{"UnpluggedBetweenTwoVolumes", "4m", nullptr,
                   [](const WorldChanges&) { return std::string("Completed Sucessfully"); },
                   [](WorldChanges& t) { t.Unplug(); }, false,
                   [](const WorldChanges& t) { return std::vector<Matcher<std::string>>{t.gone}; },
                   ExpectNothingBelowTheMountPoint},
        // Without IDPath the destinations alone tell where the disk is: a destination that would
        // now be made below the empty mount point is the disk gone, not a folder to create.
        TWorldCase{
            "UnpluggedBetweenTwoIncrementalsWithoutIDPath", "4m", [](WorldChanges& t) { t.WithoutIDPath(); },
            [](const WorldChanges& t) { return "File copied " + t.src + "/C_new_i1.spi to " + t.c + "/"; },
            [](WorldChanges& t) { t.Unplug(); }, false,
            [](const WorldChanges& t) { return std::vector<Matcher<std::string>>{t.GoneAt(t.c)}; },
            ExpectNothingBelowTheMountPoint},
        TWorldCase{"UnpluggedBetweenTwoVolumesWithoutIDPath", "4m",
                   [](WorldChanges& t) { t.WithoutIDPath(); },
                   [](const WorldChanges&) { return std::string("Completed Sucessfully"); },
                   [](WorldChanges& t) { t.Unplug(); }, false,
                   [](const WorldChanges& t) { return std::vector<Matcher<std::string>>{t.GoneAt(t.e)}; },
                   ExpectNothingBelowTheMountPoint},
        // The newest image of the source cannot be read and the disk already holds its chain:
        // the older chain of the source must not take its place.
        TWorldCase{"DanglingNewestImageWithItsChainOnTheDisk", "4m",
                   [](WorldChanges& t) {
                     std::filesystem::create_symlink(t.dir / "gone.spf", t.src + "/C_newest.spf");
                     std::filesystem::create_directories(t.c);
                     WriteFile(t.c + "/C_newest.spf", "newest");
                     WriteFile(t.c + "/C_newest_i1.spi", "newest incremental");
                     SetMTime(t.c + "/C_newest.spf", static_cast<long long>(::time(nullptr)) + 3600);
                   },
                   nullptr, nullptr, false,
                   [](const WorldChanges& t) {
                     return std::vector<Matcher<std::string>>{
                         "File skipped " + t.src + "/C_newest.spf: No such file or directory",
                         t.c + " holds C_newest.spf, newer than the newest full backup in " + t.src +
                             ": nothing deleted or copied"};
                   },
                   [](WorldChanges& t) {
                     EXPECT_EQ(t.In(t.c), (Names{"C_newest.spf", "C_newest_i1.spi"}));
                     EXPECT_EQ(ReadFile(t.c + "/C_newest.spf"), "newest");
                     EXPECT_EQ(t.In(t.e), Names{"E_new.spf"}) << "the next volume still runs";
                   }},
        TWorldCase{"ImageThatCanNeverFit", "200m",
                   [](WorldChanges& t) {
                     t.OldChain(1 << 20);
                     ASSERT_EQ(::truncate((t.src + "/C_new.spf").c_str(), 230'000'000), 0);
                   },
                   nullptr, nullptr, false,
                   [](const WorldChanges& t) {
                     return std::vector<Matcher<std::string>>{AllOf(
                         StartsWith(t.src + "/C_new.spf (230000000 bytes) does not fit on " + t.c + ": "),
                         HasSubstr(" bytes free, 1048584 bytes held by the older chain; the older "
                                   "chain is kept"))};
                   },
                   [](WorldChanges& t) {
                     EXPECT_EQ(t.In(t.c), (Names{"C_old.spf", "C_old_i1.spi"}));
                     EXPECT_EQ(t.In(t.e), Names{"E_new.spf"});
                   }},
        TWorldCase{"SourceChangesDuringTheFirstVolumesCopy", "4m", [](WorldChanges& t) { t.OldChain(); },
                   [](const WorldChanges& t) { return "File copying " + t.src + "/C_new.spf to " + t.c; },
                   [](WorldChanges& t) {
                     std::ofstream(t.src + "/C_new.spf", std::ios::binary | std::ios::app) << "late bytes";
                   },
                   true,
                   [](const WorldChanges& t) {
                     return std::vector<Matcher<std::string>>{
                         "Error: Error copying " + t.src + "/C_new.spf to " + t.c +
                         "/C_new.spf: the source changed during the copy"};
                   },
                   [](WorldChanges& t) {
                     EXPECT_EQ(t.In(t.c), (Names{"C_old.spf", "C_old_i1.spi"}));
                     EXPECT_EQ(t.In(t.e), Names{"E_new.spf"}) << "the next volume still runs";
                   }},
        TWorldCase{"DeletionRefused", "4m",
                   [](WorldChanges& t) {
                     t.OldChain();
                     ASSERT_EQ(std::system(("chattr +i '" + t.c + "/C_old.spf'").c_str()), 0);
                   },
                   nullptr, nullptr, false,
                   [](const WorldChanges& t) {
                     return std::vector<Matcher<std::string>>{"File not deleted " + t.c +
                                                              "/C_old.spf: Operation not permitted"};
                   },
                   [](WorldChanges& t) {
                     EXPECT_EQ(t.In(t.c), (Names{"C_old.spf", "C_new.spf", "C_new_i1.spi", "C_new_i2.spi"}));
                     EXPECT_EQ(std::system(("chattr -i '" + t.c + "/C_old.spf'").c_str()), 0);
                   }},
        // Cut short before copies were whole, or planted: each is copied again, never followed,
        // the link even where it points at a file of the image's very size.
        TWorldCase{
            "ShortFileAndLinkUnderTheChainsNames", "4m",
            [](WorldChanges& t) {
              std::filesystem::create_directories(t.c);
              WriteFile(t.dir / "secret", std::string(t.image.size(), 's'));
              std::filesystem::create_symlink(t.dir / "secret", t.c + "/C_new.spf");
              WriteFile(t.c + "/C_new_i1.spi", "incr");
            },
            nullptr, nullptr, false, [](const WorldChanges&) { return std::vector<Matcher<std::string>>{}; },
            [](WorldChanges& t) {
              EXPECT_EQ(ReadFile(t.c + "/C_new.spf"), t.image);
              EXPECT_FALSE(std::filesystem::is_symlink(t.c + "/C_new.spf"));
              EXPECT_EQ(ReadFile(t.dir / "secret"), std::string(t.image.size(), 's'));
              EXPECT_EQ(ReadFile(t.c + "/C_new_i1.spi"), "incremental");
              const std::string log = ReadFile(t.logPath);
              for (const char* name : {"/C_new.spf", "/C_new_i1.spi"})
                EXPECT_THAT(
                    log,
                    HasSubstr("File on disk differs in size from its source, copied again: " + t.c + name));
            }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavik::test
