// What a long history costs the commands that read it: a history of 10,000 runs with 10 volumes
// each (100,000 volume rows), three disks in turn and a read-back of each disk every week, as
// years of nights leave it. Times --status, --history 20 and the metrics a run writes at its end
// (each the median of 9), against the goal of 0.2 s for the two commands.
//   bench_status [folder]   (or TAVIK_BENCH_DIR; default: a new folder under /tmp)
// Removes everything it wrote.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "commands/uHistoryCommands.h"
#include "history/uHistory.h"
#include "history/uMonitoring.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int Runs = 10000;
constexpr int VolumesPerRun = 10;

// The rows as the program writes them, put in one transaction: a run's own writes, one at a time,
// would take the bench longer than what it measures.
bool Fill(const std::string& path) {
  { tavik::THistory created(path); }  // the schema, as the program makes it
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  bool ok = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt *run = nullptr, *vol = nullptr, *ver = nullptr;
  sqlite3_prepare_v2(
      db,
      "INSERT INTO runs(id, start_ms, end_ms, exit_status, error_lines, host, disk_found, "
      "disk_expected, disk_free_before, disk_free, disk_total) VALUES(?, ?, ?, 0, 0, 'srv', ?, ?, "
      "?, ?, 4000000000000)",
      -1, &run, nullptr);
  sqlite3_prepare_v2(
      db,
      "INSERT INTO volumes(run_id, volume, chain, newest_incremental, files_copied, bytes_copied, "
      "seconds, result, ended_ms, newest_image_ms) VALUES(?, ?, ?, ?, 3, 3000000000, 60, 'OK', ?, ?)",
      -1, &vol, nullptr);
  sqlite3_prepare_v2(
      db,
      "INSERT INTO verifications(disk, at_ms, files, failures, start_ms, repaired, exit_status) "
      "VALUES(?, ?, 400, 0, ?, 0, 0)",
      -1, &ver, nullptr);
  const int64_t day = 86400000, first = 1500000000000;
  for (int i = 1; ok && i <= Runs; ++i) {
    const int64_t start = first + i * day;
    const std::string disk = "Disk" + std::to_string(i % 3 + 1);
    sqlite3_reset(run);
    sqlite3_bind_int64(run, 1, i);
    sqlite3_bind_int64(run, 2, start);
    sqlite3_bind_int64(run, 3, start + 3600000);
    sqlite3_bind_text(run, 4, disk.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(run, 5, disk.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(run, 6, 2000000000000 - i);
    sqlite3_bind_int64(run, 7, 2000000000000 - i - 1000);
    ok = sqlite3_step(run) == SQLITE_DONE;
    for (int v = 0; ok && v < VolumesPerRun; ++v) {
      const std::string volume = "SRV" + std::to_string(v) + "_C_VOL";
      const std::string chain = volume + "-b" + std::to_string(i / 7);
      const std::string incremental = chain + "-i" + std::to_string(i % 7) + ".spi";
      sqlite3_reset(vol);
      sqlite3_bind_int64(vol, 1, i);
      sqlite3_bind_text(vol, 2, volume.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(vol, 3, chain.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(vol, 4, incremental.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(vol, 5, start + 60000 * (v + 1));
      sqlite3_bind_int64(vol, 6, start - 3600000);
      ok = sqlite3_step(vol) == SQLITE_DONE;
    }
    if (ok && i % 7 == 0) {
      sqlite3_reset(ver);
      sqlite3_bind_text(ver, 1, disk.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(ver, 2, start + 7200000);
      sqlite3_bind_int64(ver, 3, start + 5400000);
      ok = sqlite3_step(ver) == SQLITE_DONE;
    }
  }
  sqlite3_finalize(run);
  sqlite3_finalize(vol);
  sqlite3_finalize(ver);
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) std::fprintf(stderr, "fill: %s\n", sqlite3_errmsg(db));
  sqlite3_close(db);
  return ok;
}

double MedianOf9(const std::function<void()>& what) {
  std::vector<double> t;
  for (int i = 0; i < 9; ++i) {
    const auto t0 = Clock::now();
    what();
    t.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return tavik::bench::Median(t);
}

}  // namespace

int main(int argc, char** argv) {
  bool own = false;
  const std::string base = tavik::bench::BenchFolder(argc > 1 ? argv[1] : nullptr, own);
  if (base.empty() || !tavik::bench::EnoughRoom(base, 256ull << 20, own)) return 1;
  const std::string path = base + "/TavikHistory.db";
  if (!Fill(path)) return 1;
  std::printf("history of %d runs, %d volume rows: %.1f MB\n", Runs, Runs * VolumesPerRun,
              static_cast<double>(fs::file_size(path)) / 1e6);

  int status = -1;
  const double s = MedianOf9([&] {
    std::ostringstream out, err;
    status = tavik::RunStatusCommand(out, err, path);
  });
  const double h = MedianOf9([&] {
    std::ostringstream out, err;
    tavik::RunHistoryCommand(20, out, err, path);
  });
  const double m = MedianOf9([&] {
    tavik::THistory history(path, tavik::THistory::TMode::Read);
    (void)tavik::MetricsText(tavik::MetricsFromHistory(history));
  });
  std::printf("%-32s %8.3f s  (goal 0.2 s: %s)\n", "--status", s, s <= 0.2 ? "met" : "MISSED");
  std::printf("%-32s %8.3f s  (goal 0.2 s: %s)\n", "--history 20", h, h <= 0.2 ? "met" : "MISSED");
  std::printf("%-32s %8.3f s\n", "metrics at a run's end", m);
  if (status != 0) std::fprintf(stderr, "--status exited %d\n", status);
  std::error_code ec;
  if (own) fs::remove_all(base, ec);
  return status == 0 ? 0 : 1;
}
