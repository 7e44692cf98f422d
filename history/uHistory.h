#pragma once
// The run history: every run, each volume it processed and the disk it found, kept in an SQLite
// database beside the notification settings. This unit is the only one that opens the database;
// the run writes it, the status commands, the report, the window and the metrics read it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uClock.h"

struct sqlite3;

namespace tavik {

class TNotifier;
class THistoryStmt;

inline constexpr const char* HistoryFileName = "TavikHistory.db";
// The schema this program writes; a database of a newer one is refused, never altered.
// 2: the read-backs of the disks; 3: error lines; 4: each read-back's failures and the source's
// newest image of each volume.
inline constexpr int HistorySchemaVersion = 4;
// The error lines kept of one run: enough to tell what went wrong, never a log's worth.
inline constexpr int StoredErrorLines = 1000;
// A disk of the schedule unseen for longer than twice the schedule's week is overdue.
inline constexpr int OverdueDays = 2 * 7;
// Free space that the growth of the last FillingRuns runs would use up within as many runs.
inline constexpr int FillingRuns = 7;

// The database beside the notification settings (nothing created).
std::string HistoryFilePath();

struct THistoryRun {
  int64_t id = 0;
  TDateTime start{};
  std::optional<TDateTime> end;  // none while running, or when the run never reached its end
  int exitStatus = 0;
  int errorLines = 0;
  std::string host;
  std::string diskFound;
  std::string diskExpected;
  std::optional<int64_t> diskFreeBefore;  // when the disk was first seen in the run
  std::optional<int64_t> diskFree;        // at the last volume's end or the run's end
  std::optional<int64_t> diskTotal;
};

struct THistoryVolume {
  int64_t runId = 0;
  std::string volume;  // the job's name prefix
  std::string chain;   // the full image's name without extension, as the disk holds it
  std::string newestIncremental;
  int64_t filesCopied = 0;
  int64_t bytesCopied = 0;
  double seconds = 0;
  std::string result;  // "OK", or what went wrong
  TDateTime ended{};
  std::optional<TDateTime> newestImage;  // the source's newest image of the chain, when it was read
  bool Ok() const { return result == "OK"; }
};

// One failure a read-back found, and what became of it.
struct TVerifyFailure {
  enum TRepair { NotRepaired = 0, RepairedThen = 1, CopiedAgain = 2 };
  std::string line;    // as --verify printed it
  std::string path;    // the disk's file it concerns; "" when no one file does (a manifest missing)
  std::string source;  // where that file came from
  TRepair repair = NotRepaired;
  std::string reason;  // why it was not repaired
};

// A read-back of one disk (--verify).
struct THistoryVerification {
  int64_t id = 0;
  std::string disk;
  TDateTime start{};
  TDateTime end{};
  int files = 0;     // read back
  int failures = 0;  // failed: each file, or each problem no file stands for
  int repaired = 0;  // of those, repaired from their source by the read-back itself
  int exitStatus = 0;
  std::vector<TVerifyFailure> failed;
  // Failures not repaired then nor copied again by a run since: the disk is not known good.
  int Outstanding() const;
};

// One disk ID of the rotation, as its last run left it.
struct TRotationDisk {
  std::string id;
  std::optional<TDateTime> lastSeen;  // none for a disk of the schedule never seen
  int daysSince = -1;
  std::optional<int64_t> freeBytes;
  std::optional<int64_t> totalBytes;
  std::vector<THistoryVolume> volumes;    // per volume the newest row written on this disk
  std::optional<TDateTime> lastVerified;  // its newest --verify
  int verifyFailures = 0;                 // the files that failed then
  int verifyOutstanding = 0;              // of those, still neither repaired nor copied again
  bool scheduled = false;
  bool overdue = false;
  bool filling = false;
};

class THistory {
 public:
  enum class TMode { Write, Read };
  // Write creates the database (mode 0600) and its schema when missing; Read never creates
  // anything and throws EInOutError for a missing file as for any other failure, with the path
  // and SQLite's reason in the message.
  explicit THistory(const std::string& path = HistoryFilePath(), TMode mode = TMode::Write);
  ~THistory();
  THistory(const THistory&) = delete;
  THistory& operator=(const THistory&) = delete;
  const std::string& Path() const { return path_; }

  // Each write is one transaction; failures throw EInOutError.
  int64_t RecordRunStart(TDateTime start, const std::string& host);
  void RecordDisk(int64_t runId, const std::string& found, const std::string& expected,
                  std::optional<int64_t> freeBytes, std::optional<int64_t> totalBytes);
  void RecordVolume(int64_t runId, const THistoryVolume& v, std::optional<int64_t> diskFree);
  void RecordRunEnd(int64_t runId, TDateTime end, int exitStatus, int errorLines,
                    std::optional<int64_t> diskFree);
  // The run's error lines, the first StoredErrorLines of them, in order.
  void RecordRunErrors(int64_t runId, const std::vector<std::string>& lines);
  // A read-back (--verify) with its failures; returns its id.
  int64_t RecordVerification(const THistoryVerification& v);
  // A failed file of read-back verification that a run has since copied again from its source.
  void RecordCopiedAgain(int64_t verification, const std::string& path);

  std::optional<THistoryRun> LastRun();
  // Newest first.
  std::vector<THistoryRun> LastRuns(int n);
  std::vector<THistoryVolume> Volumes(int64_t runId);
  std::vector<std::string> RunErrors(int64_t runId);
  // The newest read-back of the disk (case-blind), its failures with it.
  std::optional<THistoryVerification> LastVerification(const std::string& disk);
  // Each disk's newest read-back, newest first.
  std::vector<THistoryVerification> LastVerifications();
  // Per volume, the source's newest image as the volume's newest row that knew it recorded it.
  std::vector<std::pair<std::string, TDateTime>> NewestImages();
  // Newest successful end of a run with exit status 0.
  std::optional<TDateTime> LastSuccess();
  // Per volume, the end of its newest "OK" row.
  std::vector<std::pair<std::string, TDateTime>> VolumeSuccesses();
  // Every disk ID ever seen, plus the scheduled ones never seen, most recently seen first.
  // scheduledIds are the disks of the weekday schedule (case-blind).
  std::vector<TRotationDisk> Rotation(TDateTime now, const std::vector<std::string>& scheduledIds);

 private:
  // Everything the constructor does after the open, so a failure can close the handle.
  void Prepare(TMode mode);
  void Exec(const char* sql);
  // Calls row for each row of s; a failed step throws.
  void EachRow(THistoryStmt& s, const std::function<void()>& row);
  std::string VolumeColumns() const;
  // Every volume name the history holds, in order.
  std::vector<std::string> VolumeNames();
  std::vector<THistoryVerification> Verifications(const std::string* disk);
  [[noreturn]] void Fail(const std::string& what);
  std::string path_;
  sqlite3* db_ = nullptr;
  int64_t schema_ = 0;
};

// The disk IDs the schedule checks (days whose check flag is on), without repeats.
std::vector<std::string> ScheduledDisks(const TNotifier& n);

}  // namespace tavik
