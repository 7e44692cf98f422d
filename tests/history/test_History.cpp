#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "commands/uHistoryCommands.h"
#include "history/uHistory.h"
#include "history/uHistoryTables.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"
#include "tests/support/TestSupport.h"

namespace tavik::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int64_t GB = 1000LL * 1000 * 1000;

TDateTime Day(int day, int hour = 22) {
  return FromLocal(2026, 12, day, hour, 0, 0);
}

THistoryVolume Volume(const std::string& name, const std::string& chain, const std::string& incr,
                      TDateTime ended, const std::string& result = "OK") {
  THistoryVolume v;
  v.volume = name;
  v.chain = chain;
  v.newestIncremental = incr;
  v.filesCopied = 3;
  v.bytesCopied = 3000;
  v.seconds = 1.5;
  v.result = result;
  v.ended = ended;
  return v;
}

// A read-back of disk whose failed files (f<n>.spi on /disk/) none was repaired.
THistoryVerification ReadBack(const std::string& disk, TDateTime end, int files, int failures) {
  THistoryVerification v;
  v.disk = disk;
  v.start = end - std::chrono::minutes(3);
  v.end = end;
  v.files = files;
  v.failures = failures;
  v.exitStatus = failures > 0 ? 1 : 0;
  for (int i = 0; i < failures; ++i) {
    const std::string path = "/disk/f" + std::to_string(i) + ".spi";
    v.failed.push_back({path + ": FAILED", path, "/src/f" + std::to_string(i) + ".spi",
                        TVerifyFailure::NotRepaired, "its source /src/f.spi is gone"});
  }
  return v;
}

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  // One whole run on disk with two volumes, free space falling by used bytes.
  int64_t Run(THistory& h, TDateTime start, const std::string& disk, int64_t freeBefore, int64_t used,
              int exitStatus = 0) {
    const int64_t id = h.RecordRunStart(start, "server1");
    h.RecordDisk(id, disk, disk, freeBefore, 100 * GB);
    h.RecordVolume(id, Volume("C", "C_full", "C_full_i1.spi", start + std::chrono::minutes(5)),
                   freeBefore - used / 2);
    h.RecordVolume(id, Volume("D", "D_full", "D_full_i2.spi", start + std::chrono::minutes(9)),
                   freeBefore - used);
    h.RecordRunEnd(id, start + std::chrono::minutes(10), exitStatus, exitStatus ? 1 : 0, freeBefore - used);
    return id;
  }
  TTempDir dir;
  std::string path = dir / "TavikHistory.db";
};

TEST_F(HistoryTest, RunsAreWrittenAndReadBackInAPrivateVersionedWalDatabase) {
  {
    THistory h(path);
    Run(h, Day(7), "Disk1", 50 * GB, 1 * GB);
    Run(h, Day(8), "Disk2", 60 * GB, 2 * GB, 1);
    Run(h, Day(9), "Disk3", 70 * GB, 3 * GB);
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  THistory h(path, THistory::TMode::Read);
  const std::vector<THistoryRun> runs = h.LastRuns(2);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].start, Day(9));
  EXPECT_EQ(runs[0].diskFound, "Disk3");
  EXPECT_EQ(runs[0].diskFree, 67 * GB);
  EXPECT_EQ(runs[0].diskFreeBefore, 70 * GB);
  EXPECT_EQ(runs[0].host, "server1");
  ASSERT_TRUE(runs[0].end);
  EXPECT_EQ(*runs[0].end, Day(9) + std::chrono::minutes(10));
  EXPECT_EQ(runs[1].exitStatus, 1);
  EXPECT_EQ(runs[1].errorLines, 1);
  EXPECT_EQ(h.LastRun()->id, runs[0].id);
  EXPECT_EQ(h.LastRuns(10).size(), 3u);

  const std::vector<THistoryVolume> vols = h.Volumes(runs[0].id);
  ASSERT_EQ(vols.size(), 2u);
  EXPECT_EQ(vols[1].volume, "D");
  EXPECT_EQ(vols[1].newestIncremental, "D_full_i2.spi");
  EXPECT_EQ(vols[1].bytesCopied, 3000);
  EXPECT_TRUE(vols[1].Ok());
  EXPECT_EQ(*h.LastSuccess(), Day(9) + std::chrono::minutes(10));

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  auto pragma = [&](const char* sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    sqlite3_step(s);
    const std::string r = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    return r;
  };
  EXPECT_EQ(pragma("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(pragma("PRAGMA user_version"), std::to_string(HistorySchemaVersion));
  sqlite3_close(db);
}

TEST_F(HistoryTest, AMissingOrForeignDatabaseIsAnErrorNamingThePath) {
  // Nothing to read yet: the reader creates nothing.
  EXPECT_THROW(THistory(path, THistory::TMode::Read), EInOutError);
  EXPECT_FALSE(std::filesystem::exists(path));
  // A folder in the database's place, and a folder that is not there.
  std::filesystem::create_directory(path);
  try {
    THistory h(path);
    ADD_FAILURE() << "opened a folder";
  } catch (const EInOutError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Cannot open history " + path));
  }
  EXPECT_THROW(THistory(dir / "missing/TavikHistory.db"), EInOutError);
  // A database of a newer program is left alone.
  const std::string newer = dir / "newer.db";
  sqlite3* db = nullptr;
  sqlite3_open(newer.c_str(), &db);
  sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  try {
    THistory h(newer);
    ADD_FAILURE() << "wrote a newer schema";
  } catch (const EInOutError& e) {
    EXPECT_THAT(e.what(), HasSubstr("newer version"));
  }
}

// The settings folder may be another account's: a FIFO or a link in the place of the database or
// of a journal must not hang the run (it holds the run lock) nor be followed.
TEST_F(HistoryTest, WhatIsNoFileOfItsOwnInTheDatabasesPlacesIsRefusedAtOnce) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    for (const bool fifo : {true, false}) {
      TTempDir here;
      const std::string db = here / "TavikHistory.db";
      if (*suffix) THistory(db).RecordRunStart(FromLocal(2026, 12, 1, 22, 0, 0), "server1");
      const std::string planted = db + suffix;
      std::filesystem::remove(planted);
      if (fifo)
        ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
      else
        ASSERT_EQ(::symlink((here / "elsewhere").c_str(), planted.c_str()), 0);
      for (const auto mode : {THistory::TMode::Write, THistory::TMode::Read}) {
        try {
          THistory h(db, mode);
          ADD_FAILURE() << planted << " opened";
        } catch (const EInOutError& e) {
          EXPECT_THAT(e.what(), HasSubstr("Cannot open history " + planted + ": ")) << planted;
        }
      }
      EXPECT_FALSE(std::filesystem::exists(here / "elsewhere")) << planted;
    }
  }
}

// A database of the first schema gains the table of read-backs at its first write; the rotation
// shows each disk's newest one.
TEST_F(HistoryTest, AnOlderDatabaseTakesTheReadBacksOfTheDisks) {
  {
    THistory h(path);
    Run(h, Day(1), "Disk1", 50 * GB, GB);
    Run(h, Day(2), "Disk2", 50 * GB, GB);
  }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "DROP TABLE verifications; PRAGMA user_version=1", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  // Read as it is: no read-backs yet, no failure.
  for (const TRotationDisk& d : THistory(path, THistory::TMode::Read).Rotation(Day(3), {}))
    EXPECT_FALSE(d.lastVerified) << d.id;
  {
    THistory h(path);
    h.RecordVerification(ReadBack("disk1", Day(3, 10), 6, 1));
    h.RecordVerification(ReadBack("Disk1", Day(4, 10), 6, 0));
    h.RecordVerification(ReadBack("Disk2", Day(4, 11), 5, 2));
  }
  const std::vector<TRotationDisk> r = THistory(path, THistory::TMode::Read).Rotation(Day(5), {});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].id, "Disk1");
  EXPECT_EQ(r[1].lastVerified, Day(4, 10));
  EXPECT_EQ(r[1].verifyFailures, 0);
  EXPECT_EQ(r[0].verifyFailures, 2);
  const std::string text = RotationText(r);
  EXPECT_THAT(text, HasSubstr("verified 04/12/2026 10:00 OK"));
  EXPECT_THAT(text, HasSubstr("verified 04/12/2026 11:00: 2 FAILED, 2 NOT repaired"));
}

// A database an earlier version wrote (schema 3, read-backs with counts alone) is read as it is,
// its failed read-back still standing, and gains what a read-back now keeps at its first write.
// A failure stands until the read-back itself repaired it or a run copied the file again.
TEST_F(HistoryTest, AReadBackFailureStandsUntilRepairedOrCopiedAgainAcrossTheMigration) {
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* const schema3 =
        "CREATE TABLE runs(id INTEGER PRIMARY KEY, start_ms INTEGER NOT NULL, end_ms INTEGER, exit_status "
        "INTEGER, error_lines INTEGER, host TEXT NOT NULL, disk_found TEXT NOT NULL DEFAULT '', "
        "disk_expected "
        "TEXT NOT NULL DEFAULT '', disk_free_before INTEGER, disk_free INTEGER, disk_total INTEGER);"
        "CREATE TABLE volumes(id INTEGER PRIMARY KEY, run_id INTEGER NOT NULL, volume TEXT NOT NULL, chain "
        "TEXT "
        "NOT NULL, newest_incremental TEXT NOT NULL, files_copied INTEGER NOT NULL, bytes_copied INTEGER NOT "
        "NULL, seconds REAL NOT NULL, result TEXT NOT NULL, ended_ms INTEGER NOT NULL);"
        "CREATE TABLE verifications(id INTEGER PRIMARY KEY, disk TEXT NOT NULL, at_ms INTEGER NOT NULL, "
        "files "
        "INTEGER NOT NULL, failures INTEGER NOT NULL);"
        "CREATE TABLE run_errors(run_id INTEGER NOT NULL, seq INTEGER NOT NULL, line TEXT NOT NULL, PRIMARY "
        "KEY(run_id, seq));"
        "INSERT INTO runs VALUES(1, 1796335200000, 1796335800000, 0, 0, 'server1', 'Disk1', 'Disk1', 5, 4, "
        "9);"
        "INSERT INTO volumes VALUES(1, 1, 'C', 'C_full', '', 1, 10, 1.0, 'OK', 1796335500000);"
        "INSERT INTO verifications VALUES(1, 'Disk1', 1796336000000, 6, 2);"
        "PRAGMA user_version=3;";
    ASSERT_EQ(sqlite3_exec(db, schema3, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  {
    THistory old(path, THistory::TMode::Read);
    const std::optional<THistoryVerification> v = old.LastVerification("disk1");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->Outstanding(), 2);
    EXPECT_EQ(v->exitStatus, 1);
    EXPECT_FALSE(old.Volumes(1).at(0).newestImage);
    EXPECT_TRUE(old.NewestImages().empty());
  }
  THistory h(path);
  // The indexes --status reads years of nights through came with the migration.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    int indexes = 0;
    sqlite3_exec(
        db, "SELECT name FROM sqlite_master WHERE type='index' AND name IN ('runs_start', 'volumes_volume')",
        [](void* n, int, char**, char**) { return ++*static_cast<int*>(n), 0; }, &indexes, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(indexes, 2);
  }
  THistoryVolume fresh = Volume("C", "C_full", "", Day(5));
  fresh.newestImage = Day(5, 3);
  h.RecordVolume(h.RecordRunStart(Day(5), "server1"), fresh, std::nullopt);
  EXPECT_EQ(h.NewestImages(), (std::vector<std::pair<std::string, TDateTime>>{{"C", Day(5, 3)}}));

  THistoryVerification v = ReadBack("Disk1", Day(6), 6, 2);
  v.failed[0].repair = TVerifyFailure::RepairedThen;
  v.repaired = 1;
  v.failed.push_back(
      {"/disk/SHA256SUMS: FAILED line 3: x cannot be used", "", "", TVerifyFailure::NotRepaired, ""});
  v.failures = 3;
  const int64_t id = h.RecordVerification(v);
  std::optional<THistoryVerification> last = h.LastVerification("DISK1");
  ASSERT_TRUE(last);
  EXPECT_EQ(last->start, Day(6) - std::chrono::minutes(3));
  EXPECT_EQ(last->Outstanding(), 2);
  ASSERT_EQ(last->failed.size(), 3u);
  EXPECT_EQ(last->failed[1].reason, "its source /src/f.spi is gone");
  h.RecordCopiedAgain(id, "/disk/f1.spi");
  EXPECT_EQ(h.LastVerification("Disk1")->Outstanding(), 1);  // the manifest's line waits for a read-back
  h.RecordVerification(ReadBack("Disk1", Day(7), 6, 0));
  EXPECT_EQ(h.LastVerification("Disk1")->Outstanding(), 0);
  EXPECT_EQ(h.LastVerifications().size(), 1u);
}

TEST_F(HistoryTest, AWriteRefusedBySQLiteIsAnError) {
  THistory h(path);
  const int64_t id = h.RecordRunStart(Day(7), "server1");
  // Another connection holds the write lock longer than the history waits.
  sqlite3* other = nullptr;
  sqlite3_open(path.c_str(), &other);
  sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  EXPECT_THROW(h.RecordVolume(id, Volume("C", "C_full", "", Day(7)), std::nullopt), EInOutError);
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  // Nothing half written stays, and the next write goes through.
  h.RecordVolume(id, Volume("C", "C_full", "", Day(7)), std::nullopt);
  EXPECT_EQ(h.Volumes(id).size(), 1u);
}

TEST_F(HistoryTest, AKilledRunKeepsEveryVolumeEndedBeforeTheKill) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    THistory h(path);
    const int64_t id = h.RecordRunStart(Day(7), "server1");
    h.RecordDisk(id, "Disk1", "Disk1", 50 * GB, 100 * GB);
    h.RecordVolume(id, Volume("C", "C_full", "C_full_i1.spi", Day(7)), 49 * GB);
    // The second volume's row is half written when the kill comes: the journal cannot grow by
    // a whole page.
    struct stat wal {};
    if (::stat((path + "-wal").c_str(), &wal) != 0) ::_exit(2);
    DieWhenAFileReaches(static_cast<unsigned long long>(wal.st_size) + 100);
    h.RecordVolume(id, Volume("D", "D_full", "D_full_i1.spi", Day(7)), 48 * GB);
    ::_exit(3);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "not killed mid-write";

  THistory h(path, THistory::TMode::Read);
  const std::optional<THistoryRun> last = h.LastRun();
  ASSERT_TRUE(last);
  EXPECT_FALSE(last->end);
  const std::vector<THistoryVolume> vols = h.Volumes(last->id);
  ASSERT_EQ(vols.size(), 1u);
  EXPECT_EQ(vols[0].volume, "C");
  EXPECT_EQ(last->diskFree, 49 * GB);
}

TEST_F(HistoryTest, RotationShowsEachDiskWithOverdueAndFillingMarked) {
  THistory h(path);
  // Disk1 every Monday but the last one missing; Disk2 every week, filling fast; Disk3 the
  // schedule's but never inserted; Spare seen once, not of the schedule.
  Run(h, Day(1), "Disk1", 80 * GB, 1 * GB);
  Run(h, Day(2), "Spare", 80 * GB, 1 * GB);
  for (int d = 3; d <= 24; d += 7) Run(h, Day(d), "disk2", 30 * GB - d * GB, 5 * GB);
  const TDateTime now = Day(25, 9);
  const std::vector<TRotationDisk> r = h.Rotation(now, {"Disk1", "Disk2", "Disk3"});
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].id, "disk2");
  EXPECT_EQ(r[0].daysSince, 0);
  EXPECT_TRUE(r[0].filling);
  EXPECT_FALSE(r[0].overdue);
  ASSERT_EQ(r[0].volumes.size(), 2u);
  EXPECT_EQ(r[0].volumes[0].chain, "C_full");
  EXPECT_EQ(r[0].volumes[1].newestIncremental, "D_full_i2.spi");

  EXPECT_EQ(r[1].id, "Spare");
  EXPECT_FALSE(r[1].scheduled);
  EXPECT_FALSE(r[1].overdue);  // not of the schedule: never overdue

  EXPECT_EQ(r[2].id, "Disk1");
  EXPECT_EQ(r[2].daysSince, 23);
  EXPECT_TRUE(r[2].overdue);
  EXPECT_FALSE(r[2].filling);
  EXPECT_EQ(r[2].freeBytes, 79 * GB);

  EXPECT_EQ(r[3].id, "Disk3");
  EXPECT_FALSE(r[3].lastSeen);
  EXPECT_TRUE(r[3].overdue);

  // Exactly twice the week is not yet overdue; a moment more is.
  const auto seen = *r[2].lastSeen;
  EXPECT_FALSE(h.Rotation(seen + std::chrono::hours(24 * 14), {"Disk1"}).back().overdue);
  const auto later = h.Rotation(seen + std::chrono::hours(24 * 14) + std::chrono::seconds(1), {"Disk1"});
  EXPECT_TRUE(std::find_if(later.begin(), later.end(), [](const TRotationDisk& d) {
                return d.id == "Disk1";
              })->overdue);
}

TEST(ScheduledDisksTest, OnlyCheckedDaysCountAndEachDiskOnce) {
  TNotifier n;
  n.MondayID = "Disk1";
  n.TuesdayID = "Disk2";
  n.WednesdayID = "DISK1";
  n.SaturdayID = "Disk9";
  n.IDDiskMon = n.IDDiskTue = n.IDDiskWed = true;
  EXPECT_THAT(ScheduledDisks(n), ElementsAre("Disk1", "Disk2"));
}

}  // namespace
}  // namespace tavik::test
