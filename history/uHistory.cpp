#include "history/uHistory.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <set>

#include "QorvLib/uQorvFiles.h"
#include "core/uDiskIdentity.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"
#include "platform/uSafeFiles.h"

namespace tavik {

// One prepared statement, finalised however its scope ends.
class THistoryStmt {
 public:
  THistoryStmt(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~THistoryStmt() { sqlite3_finalize(stmt_); }
  THistoryStmt(const THistoryStmt&) = delete;
  THistoryStmt& operator=(const THistoryStmt&) = delete;
  bool Ok() const { return stmt_ != nullptr; }
  THistoryStmt& Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  THistoryStmt& Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  THistoryStmt& Bind(int i, double v) {
    sqlite3_bind_double(stmt_, i, v);
    return *this;
  }
  THistoryStmt& Bind(int i, std::optional<int64_t> v) {
    if (v)
      sqlite3_bind_int64(stmt_, i, *v);
    else
      sqlite3_bind_null(stmt_, i);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  // Ready to run again with new values.
  void Reset() {
    if (stmt_) sqlite3_reset(stmt_);
  }
  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  double Real(int col) const { return sqlite3_column_double(stmt_, col); }
  bool Null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  std::optional<int64_t> OptInt(int col) const {
    return Null(col) ? std::nullopt : std::optional<int64_t>(Int(col));
  }
  std::string Text(int col) const {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(stmt_, col)) : "";
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

namespace {

// Stored as milliseconds since the epoch, universal time: the history must not shift with a
// change of zone or the clocks going back.
int64_t ToMs(TDateTime t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}
TDateTime FromMs(int64_t ms) {
  return TDateTime(std::chrono::duration_cast<TDateTime::duration>(std::chrono::milliseconds(ms)));
}

const char* const SchemaSql =
    "CREATE TABLE runs("
    " id INTEGER PRIMARY KEY,"
    " start_ms INTEGER NOT NULL,"
    " end_ms INTEGER,"
    " exit_status INTEGER,"
    " error_lines INTEGER,"
    " host TEXT NOT NULL,"
    " disk_found TEXT NOT NULL DEFAULT '',"
    " disk_expected TEXT NOT NULL DEFAULT '',"
    " disk_free_before INTEGER,"
    " disk_free INTEGER,"
    " disk_total INTEGER);"
    "CREATE INDEX runs_disk ON runs(disk_found COLLATE NOCASE);"
    "CREATE TABLE volumes("
    " id INTEGER PRIMARY KEY,"
    " run_id INTEGER NOT NULL REFERENCES runs(id),"
    " volume TEXT NOT NULL,"
    " chain TEXT NOT NULL,"
    " newest_incremental TEXT NOT NULL,"
    " files_copied INTEGER NOT NULL,"
    " bytes_copied INTEGER NOT NULL,"
    " seconds REAL NOT NULL,"
    " result TEXT NOT NULL,"
    " ended_ms INTEGER NOT NULL);"
    "CREATE INDEX volumes_run ON volumes(run_id);";

// Schema 2 adds it; a database of schema 1 gets it at its first write. at_ms is the read-back's
// end; the columns after failures came with schema 4.
const char* const VerificationsSql =
    "CREATE TABLE IF NOT EXISTS verifications("
    " id INTEGER PRIMARY KEY,"
    " disk TEXT NOT NULL,"
    " at_ms INTEGER NOT NULL,"
    " files INTEGER NOT NULL,"
    " failures INTEGER NOT NULL,"
    " start_ms INTEGER,"
    " repaired INTEGER NOT NULL DEFAULT 0,"
    " exit_status INTEGER);";

// Schema 4: the columns an older database gains, each where it lacks it.
const struct {
  const char* table;
  const char* column;
  const char* type;
} Schema4Columns[] = {
    {"verifications", "start_ms", "INTEGER"},
    {"verifications", "repaired", "INTEGER NOT NULL DEFAULT 0"},
    {"verifications", "exit_status", "INTEGER"},
    {"volumes", "newest_image_ms", "INTEGER"},
};

// Schema 4 keeps each read-back's failures, so a run can copy a failed file again and the status
// can tell when nothing of a failure is left.
const char* const VerifyFailuresSql =
    "CREATE TABLE IF NOT EXISTS verify_failures("
    " verification_id INTEGER NOT NULL REFERENCES verifications(id),"
    " seq INTEGER NOT NULL,"
    " line TEXT NOT NULL,"
    " path TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " repaired INTEGER NOT NULL,"
    " reason TEXT NOT NULL,"
    " PRIMARY KEY(verification_id, seq));"
    "CREATE INDEX IF NOT EXISTS verifications_disk ON verifications(disk COLLATE NOCASE, at_ms);"
    // What --status and the metrics read of years of nights: the last runs, and per volume its
    // newest rows, each found without reading the whole history.
    "CREATE INDEX IF NOT EXISTS runs_start ON runs(start_ms, id);"
    "CREATE INDEX IF NOT EXISTS volumes_volume ON volumes(volume, ended_ms);";

// Schema 3 adds the error lines of each run; a database of an older schema gets them at its
// first write.
const char* const RunErrorsSql =
    "CREATE TABLE IF NOT EXISTS run_errors("
    " run_id INTEGER NOT NULL REFERENCES runs(id),"
    " seq INTEGER NOT NULL,"
    " line TEXT NOT NULL,"
    " PRIMARY KEY(run_id, seq));";

const char* const RunColumns =
    "id, start_ms, end_ms, exit_status, error_lines, host, disk_found, disk_expected, "
    "disk_free_before, disk_free, disk_total";

THistoryRun RunFrom(const THistoryStmt& s) {
  THistoryRun r;
  r.id = s.Int(0);
  r.start = FromMs(s.Int(1));
  if (!s.Null(2)) r.end = FromMs(s.Int(2));
  r.exitStatus = static_cast<int>(s.Int(3));
  r.errorLines = static_cast<int>(s.Int(4));
  r.host = s.Text(5);
  r.diskFound = s.Text(6);
  r.diskExpected = s.Text(7);
  r.diskFreeBefore = s.OptInt(8);
  r.diskFree = s.OptInt(9);
  r.diskTotal = s.OptInt(10);
  return r;
}

THistoryVolume VolumeFrom(const THistoryStmt& s, int first = 0) {
  THistoryVolume v;
  v.runId = s.Int(first + 0);
  v.volume = s.Text(first + 1);
  v.chain = s.Text(first + 2);
  v.newestIncremental = s.Text(first + 3);
  v.filesCopied = s.Int(first + 4);
  v.bytesCopied = s.Int(first + 5);
  v.seconds = s.Real(first + 6);
  v.result = s.Text(first + 7);
  v.ended = FromMs(s.Int(first + 8));
  if (!s.Null(first + 9)) v.newestImage = FromMs(s.Int(first + 9));
  return v;
}

}  // namespace

std::string HistoryFilePath() {
  return SettingsFolderPath() + HistoryFileName;
}

std::vector<std::string> ScheduledDisks(const TNotifier& n) {
  std::vector<std::string> r;
  for (int day = 0; day < 7; ++day) {
    if (!CheckFlag(n, day)) continue;
    const std::string id = ScheduledID(n, day);
    if (id.empty()) continue;
    if (std::none_of(r.begin(), r.end(), [&](const std::string& s) { return SameText(s, id); }))
      r.push_back(id);
  }
  return r;
}

THistory::THistory(const std::string& path, TMode mode) : path_(path) {
  // The settings folder may be another account's: the database and its journals must be files
  // of their own, or SQLite would wait for ever on a FIFO (the run holding its lock) or follow a
  // link. Each is looked at without waiting before SQLite opens anything.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string file = path + suffix;
    std::string why;
    int err = 0;
    // The history names hosts, disks and folders: only its owner reads it. SQLite gives its
    // journal files the database's mode, so creating the file first settles all three.
    const int flags = mode == TMode::Write && !*suffix ? O_WRONLY | O_CREAT : O_RDONLY;
    const int fd = OpenRegularFile(file, flags, why, err, 0600);
    if (fd >= 0)
      ::close(fd);
    else if (err != ENOENT)
      throw EInOutError("Cannot open history " + file + ": " + why);
  }
  const int flags = mode == TMode::Write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw EInOutError("Cannot open history " + path + ": " + why);
  }
  // A constructor that throws runs no destructor: the handle is closed here instead.
  try {
    Prepare(mode);
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

void THistory::Prepare(TMode mode) {
  const std::string& path = path_;
  // A run never waits long on a reader that holds the file; a hung lock must not hang a run.
  sqlite3_busy_timeout(db_, 2000);
  int64_t found = 0;
  {
    THistoryStmt version(db_, "PRAGMA user_version");
    if (version.Step() != SQLITE_ROW) Fail("Cannot read history " + path);
    found = version.Int(0);
  }
  if (found > HistorySchemaVersion)
    Fail("History " + path + " was written by a newer version (schema " + std::to_string(found) + ")");
  schema_ = found;
  if (mode == TMode::Read) {
    if (found == 0) Fail("History " + path + " holds no runs");
    return;
  }
  // WAL with NORMAL sync: a commit is safe from a crash of the program at once, and from a power
  // cut once the system has written it out (seconds later) or a checkpoint has; a power cut
  // right after a run may cost that run's rows, never the database. A commit that waited for the
  // disk each time cost a run more than its whole rotation. The WAL file stays between runs, so
  // each run does not create it anew and sync the folder for it.
  Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=NORMAL");
  int persist = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  // Nor does each run end by checkpointing (two more waits for the disk): the WAL is folded into
  // the database by SQLite's own automatic checkpoint once it has grown, every few hundred runs.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  if (found < HistorySchemaVersion) {
    Exec("BEGIN IMMEDIATE");
    if (found == 0) Exec(SchemaSql);
    Exec(VerificationsSql);
    for (const auto& c : Schema4Columns) {
      bool has = false;
      THistoryStmt info(db_, (std::string("PRAGMA table_info(") + c.table + ")").c_str());
      EachRow(info, [&] { has = has || info.Text(1) == c.column; });
      if (!has)
        Exec((std::string("ALTER TABLE ") + c.table + " ADD COLUMN " + c.column + " " + c.type).c_str());
    }
    Exec(RunErrorsSql);
    Exec(VerifyFailuresSql);
    Exec(("PRAGMA user_version=" + std::to_string(HistorySchemaVersion)).c_str());
    Exec("COMMIT");
    schema_ = HistorySchemaVersion;
  }
}

THistory::~THistory() {
  sqlite3_close(db_);
}

void THistory::Fail(const std::string& what) {
  const std::string why =
      db_ && sqlite3_errcode(db_) != SQLITE_OK ? std::string(": ") + sqlite3_errmsg(db_) : "";
  throw EInOutError(what + why);
}

std::string THistory::VolumeColumns() const {
  // Read only, an older database is read as it is: what it never recorded is unknown.
  return std::string(
             "run_id, volume, chain, newest_incremental, files_copied, bytes_copied, seconds, result, "
             "ended_ms, ") +
         (schema_ >= 4 ? "newest_image_ms" : "NULL");
}

void THistory::EachRow(THistoryStmt& s, const std::function<void()>& row) {
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) row();
  if (rc != SQLITE_DONE) Fail("Cannot read history " + path_);
}

void THistory::Exec(const char* sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK) return;
  const std::string why = msg ? msg : sqlite3_errmsg(db_);
  sqlite3_free(msg);
  if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  throw EInOutError("Cannot write history " + path_ + ": " + why);
}

int64_t THistory::RecordRunStart(TDateTime start, const std::string& host) {
  THistoryStmt s(db_, "INSERT INTO runs(start_ms, host) VALUES(?, ?)");
  s.Bind(1, ToMs(start)).Bind(2, host);
  if (s.Step() != SQLITE_DONE) Fail("Cannot write history " + path_);
  return sqlite3_last_insert_rowid(db_);
}

void THistory::RecordDisk(int64_t runId, const std::string& found, const std::string& expected,
                          std::optional<int64_t> freeBytes, std::optional<int64_t> totalBytes) {
  THistoryStmt s(
      db_,
      "UPDATE runs SET disk_found=?, disk_expected=?, disk_free_before=?, disk_free=?, disk_total=? "
      "WHERE id=?");
  s.Bind(1, found).Bind(2, expected).Bind(3, freeBytes).Bind(4, freeBytes).Bind(5, totalBytes).Bind(6, runId);
  if (s.Step() != SQLITE_DONE) Fail("Cannot write history " + path_);
}

void THistory::RecordVolume(int64_t runId, const THistoryVolume& v, std::optional<int64_t> diskFree) {
  Exec("BEGIN IMMEDIATE");
  {
    THistoryStmt s(
        db_,
        "INSERT INTO volumes(run_id, volume, chain, newest_incremental, files_copied, bytes_copied, "
        "seconds, result, ended_ms, newest_image_ms) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    s.Bind(1, runId).Bind(2, v.volume).Bind(3, v.chain).Bind(4, v.newestIncremental);
    s.Bind(5, v.filesCopied)
        .Bind(6, v.bytesCopied)
        .Bind(7, v.seconds)
        .Bind(8, v.result)
        .Bind(9, ToMs(v.ended))
        .Bind(10, v.newestImage ? std::optional<int64_t>(ToMs(*v.newestImage)) : std::nullopt);
    const bool inserted = s.Step() == SQLITE_DONE;
    bool updated = true;
    if (inserted && diskFree) {
      THistoryStmt u(db_, "UPDATE runs SET disk_free=? WHERE id=?");
      u.Bind(1, diskFree).Bind(2, runId);
      updated = u.Step() == SQLITE_DONE;
    }
    if (!inserted || !updated) {
      const std::string why = sqlite3_errmsg(db_);
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw EInOutError("Cannot write history " + path_ + ": " + why);
    }
  }
  Exec("COMMIT");
}

void THistory::RecordRunEnd(int64_t runId, TDateTime end, int exitStatus, int errorLines,
                            std::optional<int64_t> diskFree) {
  THistoryStmt s(db_,
                 "UPDATE runs SET end_ms=?, exit_status=?, error_lines=?, disk_free=COALESCE(?, disk_free) "
                 "WHERE id=?");
  s.Bind(1, ToMs(end)).Bind(2, static_cast<int64_t>(exitStatus)).Bind(3, static_cast<int64_t>(errorLines));
  s.Bind(4, diskFree).Bind(5, runId);
  if (s.Step() != SQLITE_DONE) Fail("Cannot write history " + path_);
}

void THistory::RecordRunErrors(int64_t runId, const std::vector<std::string>& lines) {
  Exec("BEGIN IMMEDIATE");
  {
    THistoryStmt s(db_, "INSERT OR REPLACE INTO run_errors(run_id, seq, line) VALUES(?, ?, ?)");
    int64_t seq = 0;
    for (const std::string& line : lines) {
      if (seq == StoredErrorLines) break;
      s.Reset();
      s.Bind(1, runId).Bind(2, seq++).Bind(3, line);
      if (s.Step() != SQLITE_DONE) {
        const std::string why = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw EInOutError("Cannot write history " + path_ + ": " + why);
      }
    }
  }
  Exec("COMMIT");
}

std::vector<std::string> THistory::RunErrors(int64_t runId) {
  std::vector<std::string> r;
  // A database of an older schema, read only, has no error lines to tell.
  if (schema_ < 3) return r;
  THistoryStmt s(db_, "SELECT line FROM run_errors WHERE run_id=? ORDER BY seq");
  s.Bind(1, runId);
  EachRow(s, [&] { r.push_back(s.Text(0)); });
  return r;
}

int THistoryVerification::Outstanding() const {
  int cleared = 0;
  for (const TVerifyFailure& f : failed) cleared += f.repair != TVerifyFailure::NotRepaired;
  // A read-back from before its failures were kept has only its counts to tell.
  if (failed.empty()) cleared = repaired;
  return std::max(failures - cleared, 0);
}

int64_t THistory::RecordVerification(const THistoryVerification& v) {
  Exec("BEGIN IMMEDIATE");
  int64_t id = 0;
  {
    THistoryStmt s(db_,
                   "INSERT INTO verifications(disk, at_ms, files, failures, start_ms, repaired, exit_status) "
                   "VALUES(?, ?, ?, ?, ?, ?, ?)");
    s.Bind(1, v.disk)
        .Bind(2, ToMs(v.end))
        .Bind(3, static_cast<int64_t>(v.files))
        .Bind(4, static_cast<int64_t>(v.failures))
        .Bind(5, ToMs(v.start))
        .Bind(6, static_cast<int64_t>(v.repaired))
        .Bind(7, static_cast<int64_t>(v.exitStatus));
    bool ok = s.Step() == SQLITE_DONE;
    id = sqlite3_last_insert_rowid(db_);
    THistoryStmt f(db_,
                   "INSERT INTO verify_failures(verification_id, seq, line, path, source, repaired, reason) "
                   "VALUES(?, ?, ?, ?, ?, ?, ?)");
    int64_t seq = 0;
    for (const TVerifyFailure& x : v.failed) {
      if (!ok || seq == StoredErrorLines) break;
      f.Reset();
      f.Bind(1, id).Bind(2, seq++).Bind(3, x.line).Bind(4, x.path).Bind(5, x.source);
      f.Bind(6, static_cast<int64_t>(x.repair)).Bind(7, x.reason);
      ok = f.Step() == SQLITE_DONE;
    }
    if (!ok) {
      const std::string why = sqlite3_errmsg(db_);
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw EInOutError("Cannot write history " + path_ + ": " + why);
    }
  }
  Exec("COMMIT");
  return id;
}

void THistory::RecordCopiedAgain(int64_t verification, const std::string& path) {
  THistoryStmt s(db_,
                 "UPDATE verify_failures SET repaired=? WHERE verification_id=? AND path=? AND repaired=?");
  s.Bind(1, static_cast<int64_t>(TVerifyFailure::CopiedAgain)).Bind(2, verification).Bind(3, path);
  s.Bind(4, static_cast<int64_t>(TVerifyFailure::NotRepaired));
  if (s.Step() != SQLITE_DONE) Fail("Cannot write history " + path_);
}

std::vector<THistoryVerification> THistory::Verifications(const std::string* disk) {
  std::vector<THistoryVerification> r;
  if (schema_ < 2) return r;
  const bool full = schema_ >= 4;
  // Newest first; the first row of each disk is its last read-back. One disk's is found through
  // its index, all disks' from the few rows a weekly read-back leaves.
  const std::string sql = std::string("SELECT id, disk, at_ms, files, failures, ") +
                          (full ? "start_ms, repaired, exit_status" : "NULL, 0, NULL") +
                          " FROM verifications " + (disk ? "WHERE disk=? COLLATE NOCASE " : "") +
                          "ORDER BY at_ms DESC, id DESC" + (disk ? " LIMIT 1" : "");
  THistoryStmt s(db_, sql.c_str());
  if (disk) s.Bind(1, *disk);
  std::set<std::string> seen;
  EachRow(s, [&] {
    if (!seen.insert(LowerCase(s.Text(1))).second) return;
    THistoryVerification v;
    v.id = s.Int(0);
    v.disk = s.Text(1);
    v.end = FromMs(s.Int(2));
    v.files = static_cast<int>(s.Int(3));
    v.failures = static_cast<int>(s.Int(4));
    v.start = s.Null(5) ? v.end : FromMs(s.Int(5));
    v.repaired = static_cast<int>(s.Int(6));
    // Before schema 4 only a read-back's failures decided its exit status.
    v.exitStatus = s.Null(7) ? (v.failures > 0 ? 1 : 0) : static_cast<int>(s.Int(7));
    r.push_back(v);
  });
  if (!full) return r;
  for (THistoryVerification& v : r) {
    THistoryStmt f(db_,
                   "SELECT line, path, source, repaired, reason FROM verify_failures WHERE verification_id=? "
                   "ORDER BY seq");
    f.Bind(1, v.id);
    EachRow(f, [&] {
      v.failed.push_back(
          {f.Text(0), f.Text(1), f.Text(2), static_cast<TVerifyFailure::TRepair>(f.Int(3)), f.Text(4)});
    });
  }
  return r;
}

std::vector<std::string> THistory::VolumeNames() {
  // Each name once, found by stepping through the index from one name to the next rather than
  // reading every row.
  THistoryStmt s(
      db_,
      "WITH RECURSIVE v(name) AS (SELECT MIN(volume) FROM volumes UNION ALL "
      "SELECT (SELECT MIN(volume) FROM volumes WHERE volume > v.name) FROM v WHERE v.name IS NOT NULL) "
      "SELECT name FROM v WHERE name IS NOT NULL");
  std::vector<std::string> r;
  EachRow(s, [&] { r.push_back(s.Text(0)); });
  return r;
}

std::optional<THistoryVerification> THistory::LastVerification(const std::string& disk) {
  std::vector<THistoryVerification> r = Verifications(&disk);
  if (r.empty()) return std::nullopt;
  return r.front();
}

std::vector<THistoryVerification> THistory::LastVerifications() {
  return Verifications(nullptr);
}

std::vector<std::pair<std::string, TDateTime>> THistory::NewestImages() {
  std::vector<std::pair<std::string, TDateTime>> r;
  if (schema_ < 4) return r;
  for (const std::string& volume : VolumeNames()) {
    THistoryStmt s(db_,
                   "SELECT newest_image_ms FROM volumes WHERE volume=? AND newest_image_ms IS NOT NULL "
                   "ORDER BY ended_ms DESC, id DESC LIMIT 1");
    s.Bind(1, volume);
    EachRow(s, [&] { r.emplace_back(volume, FromMs(s.Int(0))); });
  }
  return r;
}

std::vector<THistoryRun> THistory::LastRuns(int n) {
  THistoryStmt s(
      db_,
      (std::string("SELECT ") + RunColumns + " FROM runs ORDER BY start_ms DESC, id DESC LIMIT ?").c_str());
  s.Bind(1, static_cast<int64_t>(std::max(n, 0)));
  std::vector<THistoryRun> r;
  EachRow(s, [&] { r.push_back(RunFrom(s)); });
  return r;
}

std::optional<THistoryRun> THistory::LastRun() {
  std::vector<THistoryRun> r = LastRuns(1);
  if (r.empty()) return std::nullopt;
  return r.front();
}

std::vector<THistoryVolume> THistory::Volumes(int64_t runId) {
  THistoryStmt s(db_, ("SELECT " + VolumeColumns() + " FROM volumes WHERE run_id=? ORDER BY id").c_str());
  s.Bind(1, runId);
  std::vector<THistoryVolume> r;
  EachRow(s, [&] { r.push_back(VolumeFrom(s)); });
  return r;
}

std::optional<TDateTime> THistory::LastSuccess() {
  THistoryStmt s(db_, "SELECT MAX(end_ms) FROM runs WHERE end_ms IS NOT NULL AND exit_status=0");
  if (s.Step() != SQLITE_ROW) Fail("Cannot read history " + path_);
  if (s.Null(0)) return std::nullopt;
  return FromMs(s.Int(0));
}

std::vector<std::pair<std::string, TDateTime>> THistory::VolumeSuccesses() {
  std::vector<std::pair<std::string, TDateTime>> r;
  for (const std::string& volume : VolumeNames()) {
    THistoryStmt s(
        db_, "SELECT ended_ms FROM volumes WHERE volume=? AND result='OK' ORDER BY ended_ms DESC LIMIT 1");
    s.Bind(1, volume);
    EachRow(s, [&] { r.emplace_back(volume, FromMs(s.Int(0))); });
  }
  return r;
}

std::vector<TRotationDisk> THistory::Rotation(TDateTime now, const std::vector<std::string>& scheduledIds) {
  std::vector<TRotationDisk> disks;
  // The runs that found a disk, newest first: the first row of an ID is its last visit.
  THistoryStmt s(db_,
                 "SELECT id, start_ms, disk_found, disk_free_before, disk_free, disk_total FROM runs "
                 "WHERE disk_found <> '' ORDER BY start_ms DESC, id DESC");
  std::map<std::string, size_t> byId;                  // folded ID -> index in disks
  std::map<std::string, std::vector<int64_t>> growth;  // folded ID -> growth per run, newest first
  std::map<std::string, std::vector<int64_t>> runIds;
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    const std::string id = s.Text(2);
    const std::string key = LowerCase(id);
    auto it = byId.find(key);
    if (it == byId.end()) {
      TRotationDisk d;
      d.id = id;
      d.lastSeen = FromMs(s.Int(1));
      d.freeBytes = s.OptInt(4);
      d.totalBytes = s.OptInt(5);
      it = byId.emplace(key, disks.size()).first;
      disks.push_back(d);
    }
    runIds[key].push_back(s.Int(0));
    if (!s.Null(3) && !s.Null(4) && growth[key].size() < FillingRuns)
      growth[key].push_back(s.Int(3) - s.Int(4));
  }
  if (rc != SQLITE_DONE) Fail("Cannot read history " + path_);

  // What the disk holds of each volume: the newest row any run on it wrote for that volume, read
  // newest first along the volume's own rows (the "+" keeps SQLite from reading every row of the
  // disk's runs instead).
  const std::vector<std::string> names = VolumeNames();
  for (TRotationDisk& d : disks) {
    const std::string key = LowerCase(d.id);
    THistoryStmt q(db_,
                   ("SELECT " + VolumeColumns() +
                    " FROM volumes WHERE volume=? AND +run_id IN (SELECT id FROM runs WHERE disk_found=? "
                    "COLLATE NOCASE) ORDER BY ended_ms DESC, id DESC LIMIT 1")
                       .c_str());
    for (const std::string& name : names) {
      q.Reset();
      q.Bind(1, name).Bind(2, d.id);
      EachRow(q, [&] { d.volumes.push_back(VolumeFrom(q)); });
    }
    if (const std::optional<THistoryVerification> v = LastVerification(d.id)) {
      d.lastVerified = v->end;
      d.verifyFailures = v->failures;
      d.verifyOutstanding = v->Outstanding();
    }
    // Filling: the mean growth of its last runs would use up its free space within as many.
    const std::vector<int64_t>& g = growth[key];
    if (!g.empty() && d.freeBytes) {
      int64_t sum = 0;
      for (int64_t x : g) sum += x;
      const double mean = static_cast<double>(sum) / static_cast<double>(g.size());
      d.filling = mean > 0 && static_cast<double>(*d.freeBytes) < mean * FillingRuns;
    }
  }

  for (const std::string& id : scheduledIds) {
    const auto it = byId.find(LowerCase(id));
    if (it != byId.end()) {
      disks[it->second].scheduled = true;
      continue;
    }
    TRotationDisk d;
    d.id = id;
    d.scheduled = true;
    disks.push_back(d);
  }

  // A scheduled disk never seen is overdue once the history itself is older than the limit.
  std::optional<TDateTime> firstRun;
  THistoryStmt f(db_, "SELECT MIN(start_ms) FROM runs");
  if (f.Step() == SQLITE_ROW && !f.Null(0)) firstRun = FromMs(f.Int(0));
  const auto limit = std::chrono::hours(24 * OverdueDays);
  for (TRotationDisk& d : disks) {
    if (d.lastSeen) {
      d.daysSince =
          static_cast<int>(std::chrono::duration_cast<std::chrono::hours>(now - *d.lastSeen).count() / 24);
      if (d.scheduled) d.overdue = now - *d.lastSeen > limit;
    } else if (firstRun) {
      d.overdue = now - *firstRun > limit;
    }
  }
  return disks;
}

}  // namespace tavik
