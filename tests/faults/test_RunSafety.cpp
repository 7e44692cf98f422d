// What keeps a run's copies whole or absent: one run at a time, temporary copies that never
// outlive their run, names of any length, sources that are not files, and the old chain kept
// until the new one is in place.
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run/uRunLock.h"
#include "tests/faults/FaultRun.h"

namespace tavik::test {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Names = std::set<std::string>;

class RunSafety : public MailedFaultRunTest {
 protected:
  // Waits for a file another process creates; false after the guard's time.
  static bool AwaitFile(const std::string& path) {
    for (int i = 0; i < 1500 && !std::filesystem::exists(path); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return std::filesystem::exists(path);
  }
};

TEST_F(RunSafety, ASecondRunWhileOneIsCopyingTouchesNothingAndSaysWhoHasTheDisk) {
  const std::string copying = dir / "first-is-copying", released = dir / "second-is-done";
  const TStarted first = StartUnattended([&](TQorvFileCopier& fc) {
    fc.OnProgress = [&](double, int32_t, int32_t) {
      if (std::filesystem::exists(copying)) return;
      WriteFile(copying, "");
      AwaitFile(released);
    };
  });
  ASSERT_TRUE(AwaitFile(copying));

  const TRunResult second = RunUnattended();
  WriteFile(released, "");
  const TRunResult done = Finish(first);

  const std::string refusal = "Another backup run (process " + std::to_string(first.pid) + ") is in progress";
  ASSERT_TRUE(second.endedByItself);
  EXPECT_TRUE(second.hadErrors);
  EXPECT_EQ(second.closeRequests, 1);
  EXPECT_THAT(second.lines, IsEmpty()) << "the refused run writes no lines";
  EXPECT_EQ(second.errors, refusal + "\n");
  // The second run left the first one's temporary copy alone: it was finished and renamed.
  ASSERT_TRUE(done.endedByItself);
  EXPECT_FALSE(done.hadErrors);
  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi"}));
  EXPECT_EQ(ReadFile(dst + "/C_new.spf"), image);
  // The log holds the one run only.
  const std::string log = ReadFile(logPath);
  EXPECT_EQ(log.find("Start: "), log.rfind("Start: "));
  EXPECT_THAT(log, HasSubstr("*** Done ***"));
  EXPECT_THAT(log, Not(HasSubstr("Another backup run")));

  const auto mails = Mails(server);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].first, "[S01:Office] Backup Errors");
  EXPECT_THAT(mails[0].second, HasSubstr(refusal + "<br />"));
  EXPECT_EQ(mails[1].first, "[S01:Office] Backup Completed. Time to change disk.");
  EXPECT_EQ(server.Messages()[0].raw.find("attachment"), std::string::npos);
}

TEST_F(RunSafety, TemporaryCopiesLeftByEarlierRunsAreDeletedWithALineEach) {
  // One of this version, of an incremental of the chain now gone; one of an earlier version.
  const std::string leftovers[] = {TQorvFileCopier::PartialPath(dst + "/C_old_i2.spi"),
                                   dst + "/C_old.spf.tavik-partial"};
  for (const std::string& l : leftovers) WriteFile(l, std::string(5000, 'p'));
  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_FALSE(r.hadErrors);
  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi"}));
  for (const std::string& l : leftovers) EXPECT_THAT(r.lines, Contains("Temporary copy deleted " + l));
}

TEST_F(RunSafety, ANameOfAnyLengthTheFileSystemTakesIsCopied) {
  // 250 bytes: with a suffix added for the temporary copy it would not fit.
  const std::string name = "C_new_" + std::string(250 - 10, 'n') + ".spi";
  ASSERT_EQ(name.size(), 250u);
  WriteFile(src + "/" + name, "long");
  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_FALSE(r.hadErrors);
  EXPECT_EQ(ReadFile(dst + "/" + name), "long");
  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi", name}));
}

TEST_F(RunSafety, FifosNamedLikeImagesAreSkippedWithAnErrorLineAndNeverOpened) {
  // Nobody ever writes to them: an open that waited would wait for ever.
  const std::string fifoFull = src + "/C_newest.spf", fifoIncrement = src + "/C_new_i0.spi";
  for (const std::string& f : {fifoFull, fifoIncrement}) ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0);
  SetMTime(fifoFull, 4'000'000'000LL);
  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_TRUE(r.hadErrors);
  const std::vector<std::string> skipped = {"File skipped " + fifoFull + ": not a regular file",
                                            "File skipped " + fifoIncrement + ": not a regular file"};
  std::vector<std::string> errors;
  for (const std::string& l : r.lines)
    if (l.rfind("File skipped ", 0) == 0) errors.push_back(l);
  EXPECT_EQ(errors, skipped);
  // The newest real image and the rest of its chain still reach the disk.
  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi"}));
  ExpectErrorMail(skipped[1]);
}

struct TRoomCase {
  const char* name;
  const char* diskSize;
  bool room;  // for the old full image of 512 KiB and the new one both
};

void PrintTo(const TRoomCase& c, std::ostream* os) {
  *os << c.name;
}

class RoomForBothChains : public RunSafety, public ::testing::WithParamInterface<TRoomCase> {};

TEST_P(RoomForBothChains, DecidesWhetherTheOldChainGoesBeforeOrAfterTheCopy) {
  const TRoomCase& c = GetParam();
  TSmallDisk disk(dst, c.diskSize);
  if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  WriteOld(dst + "/C_old.spf", std::string(512 * 1024, 'o'));
  WriteOld(dst + "/C_old_i1.spi", "previous");
  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_FALSE(r.hadErrors);
  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi"}));
  EXPECT_EQ(ReadFile(dst + "/C_new.spf"), image);

  const std::string noRoom =
      "Not enough room on " + dst + " for both chains: the older chain is deleted first";
  std::vector<std::string> order;
  for (const std::string& l : r.lines)
    if (l == noRoom || l.rfind("File delet", 0) == 0 || l.rfind("File cop", 0) == 0 ||
        l.rfind("Delete file", 0) == 0)
      order.push_back(l);
  const std::string copying = "File copying " + src + "/C_new.spf to " + dst,
                    copied = "File copied " + src + "/C_new.spf to " + dst,
                    deleting = "File deleting " + dst + "/C_old.spf",
                    deleted = "File deleted " + dst + "/C_old.spf",
                    deletingIncremental = "Delete file " + dst + "/C_old_i1.spi",
                    deletedIncremental = "File deleted " + dst + "/C_old_i1.spi";
  ASSERT_GE(order.size(), 6u);
  const std::vector<std::string> first(order.begin(), order.begin() + 6);
  if (c.room) {
    EXPECT_EQ(first, (std::vector<std::string>{copying, copied, deleting, deleted, deletingIncremental,
                                               deletedIncremental}));
  } else {
    // The whole older chain makes way before the copy.
    EXPECT_EQ(first, (std::vector<std::string>{noRoom, deleting, deleted, deletingIncremental,
                                               deletedIncremental, copying}));
  }
  EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), noRoom), c.room ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Disk, RoomForBothChains,
                         ::testing::Values(TRoomCase{"RoomForBoth", "2m", true},
                                           TRoomCase{"RoomForOne", "640k", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunSafety, WithoutRoomForBothChainsTheWholeOldChainMakesWayForTheNewFullImage) {
  TSmallDisk disk(dst, "640k");
  if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  // 500 KiB of the old chain: the new image fits only once its incrementals go too.
  for (const char* old : {"C_old.spf", "C_old_i1.spi", "C_old_i2.spi", "C_old_i3.spi", "C_old_i4.spi"})
    WriteOld(dst + "/" + old, std::string(100 * 1024, 'o'));
  // The second night finds the disk as the first left it, whatever that was.
  for (int night = 1; night <= 2; ++night) {
    const TRunResult r = RunUnattended();
    ASSERT_TRUE(r.endedByItself);
    EXPECT_THAT(r.ErrorLines(), IsEmpty()) << "night " << night;
  }
  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi"}));
  EXPECT_EQ(ReadFile(dst + "/C_new.spf"), image);
}

TEST_F(RunSafety, VerifyCopiesInTheJobFileCatchesACopyTheDiskGivesBackWrong) {
  WriteFile(jobPath, ReadFile(jobPath) + "VerifyCopies=1\r\n");
  const std::string copy = TQorvFileCopier::PartialPath(dst + "/C_new.spf");
  const TRunResult r = RunUnattended([&](TQorvFileCopier& fc) {
    fc.OnProgress = [&](double, int32_t pos, int32_t) {
      if (pos != 2 * TQorvFileCopier::DefaultBlockSize) return;
      std::fstream(copy, std::ios::binary | std::ios::in | std::ios::out) << "bit rot";
    };
  });
  ASSERT_TRUE(r.endedByItself);
  const std::string error = "Error: Error copying " + src + "/C_new.spf to " + dst +
                            "/C_new.spf: the copy read back from the disk differs from the source";
  EXPECT_EQ(r.ErrorLines(), std::vector<std::string>{error});
  EXPECT_EQ(DestinationNames(), (Names{"C_old.md5", "C_old.spf", "C_old_i1.spi"}));
  ExpectErrorMail(error);
}

TEST_F(RunSafety, TheLockIsFreeAgainWhenItsHolderIsKilled) {
  const pid_t holder = ::fork();
  if (holder == 0) {
    TRunLock lock;
    if (!lock.TryAcquire()) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  TRunLock mine;
  bool refused = false;
  // Until the child has it.
  for (int i = 0; i < 250 && !refused; ++i) {
    refused = !mine.TryAcquire();
    if (refused) break;
    mine.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(mine.Holder(), holder);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(mine.TryAcquire());
}

TEST_F(RunSafety, NoOtherAccountCanHoldTheRunLock) {
  // A lock file of an earlier version, open to every account.
  WriteFile(RunLockPath(), "");
  ::chmod(RunLockPath().c_str(), 0644);
  {
    TRunLock lock;
    ASSERT_TRUE(lock.TryAcquire());
  }
  struct stat st {};
  ASSERT_EQ(::stat(RunLockPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Every folder down to the lock's may be entered by others, as on a real machine.
  for (std::filesystem::path p = std::filesystem::path(RunLockPath()).parent_path();
       p.string().rfind(env.Dir().Path(), 0) == 0; p = p.parent_path())
    ::chmod(p.c_str(), 0755);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
    const int fd = ::open(RunLockPath().c_str(), O_RDONLY | O_CLOEXEC);
    ::_exit(fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) == 0 ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot take another account's identity here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the account nobody could lock " << RunLockPath();
}

}  // namespace
}  // namespace tavik::test
