// What the run history and the metrics file add to a run: one volume's rotation of a chain of
// 1,000 incrementals onto a disk that already holds it all (nothing to copy, so the fixed cost
// shows), alone and wrapped in the recording a run does (start, disk, the volume's end, the run's
// end with the metrics file written). Each is timed 15 times, alternating; the medians count.
//   bench_history [folder]   (or TAVIK_BENCH_DIR; default: a new folder under /tmp)
// Then whole runs onto the same full disk (log and history; no metrics file, no mail server set):
// the run driver in this process, and the program itself as a scheduler starts it. Goal: the
// added cost at most 5% of the program's run, which is what a night's run costs; the share of the
// driver alone is shown beside it. Removes everything it wrote.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvLogger.h"
#include "bench/BenchSupport.h"
#include "core/uJobSettings.h"
#include "core/uRotation.h"
#include "core/uRunOutput.h"
#include "notify/uNotifier.h"
#include "run/uHistoryRecorder.h"
#include "run/uRunBackup.h"
#include "run/uSwitches.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/RunRecorder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Once(const std::string& src, const std::string& dst, bool recorded, const std::string& metrics) {
  tavik::TQorvLogger logger;
  logger.ConfigureLog(true, "TavikShadowCopy", "");
  tavik::test::TRunRecorder view;
  tavik::TLineOutput out(logger, view);
  tavik::TQorvFileCopier fc;
  fc.ProgBar = &view.Prog();
  fc.KeepFileDate = true;
  tavik::TNotifier notifier;
  notifier.CreateDestFolder = true;
  notifier.MetricsFile = metrics;
  const tavik::TVolumeJob job{src, dst, "SRV_C_VOL", true, true};
  const auto t0 = Clock::now();
  if (!recorded) {
    tavik::RotateVolume(out, fc, notifier, job);
  } else {
    tavik::THistoryRecorder history(out, notifier);
    history.RunStarted(tavik::Now());
    history.DiskSeen(tavik::TRunValues{}, dst);
    history.Volume(job, [&] { return tavik::RotateVolume(out, fc, notifier, job); });
    history.RunEnded(tavik::Now(), tavik::TRunValues{}, "");
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  if (!out.ErrorLines().empty()) std::fprintf(stderr, "error: %s\n", out.ErrorLines()[0].c_str());
  return s;
}

// A whole run of the run driver (settings, log, the volume, history, metrics, report) onto the
// full disk: what the history's added cost is a share of.
double WholeRun(const std::string& job) {
  tavik::TQorvLogger logger;
  logger.ConfigureLog(true, "TavikShadowCopy", "");
  tavik::test::TRunRecorder view;
  tavik::TBackupRunner runner(logger, view, tavik::ParseSwitches({"-h"}));
  runner.SetJobSettingsPath(job);
  const auto t0 = Clock::now();
  runner.RunBackup();
  if (runner.LastRunHadErrors())
    for (const std::string& l : view.memo) std::fprintf(stderr, "run: %s\n", l.c_str());
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The program as a scheduler starts it (-h), its job file beside it, as a whole process.
double ProgramRun(const std::string& program, const std::string& base) {
  tavik::test::TProgramLaunch launch;
  launch.program = program;
  launch.args = {"-h"};
  launch.workDir = base;
  launch.outPrefix = base + "/program";
  fs::create_directories(base + "/runtime");
  fs::permissions(base + "/runtime", fs::perms::owner_all);
  launch.env = {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", base + "/runtime"}};
  const tavik::test::TProgramRun run = tavik::test::RunProgram(launch);
  if (run.status != 0) std::fprintf(stderr, "program exited %d: %s\n", run.status, run.output.c_str());
  return run.seconds;
}

}  // namespace

int main(int argc, char** argv) {
  bool own = false;
  const std::string base = tavik::bench::BenchFolder(argc > 1 ? argv[1] : nullptr, own);
  if (base.empty()) return 1;
  for (const char* var : {"PROGRAMDATA", "XDG_DATA_HOME", "HOME"}) {
    fs::create_directories(base + "/env");
    ::setenv(var, (base + "/env").c_str(), 1);
  }
  tavik::SettingsFolder();  // made by the run's settings load, which the bench leaves out
  const std::string src = base + "/src", dst = base + "/dst";
  fs::create_directories(src);
  std::string bytes(4096, 'x');
  std::ofstream(src + "/SRV_C_VOL-b001.spf", std::ios::binary) << bytes;
  char name[64];
  for (int i = 1; i <= 1000; ++i) {
    std::snprintf(name, sizeof name, "/SRV_C_VOL-b001-i%05d.spi", i);
    std::ofstream(src + name, std::ios::binary) << bytes;
  }
  Once(src, dst, false, "");  // fills the disk: every later rotation finds it all there
  std::vector<double> plain, recorded;
  for (int round = 0; round < 15; ++round) {
    plain.push_back(Once(src, dst, false, ""));
    recorded.push_back(Once(src, dst, true, base + "/tavik.prom"));
  }
  const double p = tavik::bench::Median(plain), r = tavik::bench::Median(recorded);
  std::ofstream(base + "/job.ini", std::ios::binary)
      << "[Main]\r\nSystemDiskAllowed=1\r\nMaxImageAgeHours=0\r\nIDPath=" << dst << "\r\nSource=" << src
      << "\r\nDestination=" << dst << "\r\nVolume=SRV_C_VOL\r\n";
  std::vector<double> whole;
  for (int round = 0; round < 7; ++round) whole.push_back(WholeRun(base + "/job.ini"));
  const double w = tavik::bench::Median(whole);
  const std::string program = base + "/bin/TavikBackupCopy";
  fs::create_directories(base + "/bin");
  fs::copy_file(TAVIK_PROGRAM, program);
  fs::copy_file(base + "/job.ini", tavik::JobSettingsPathFor(program));
  std::vector<double> runs;
  for (int round = 0; round < 7; ++round) runs.push_back(ProgramRun(program, base));
  const double pr = tavik::bench::Median(runs);
  const double added = (r - p) / pr * 100;
  std::printf(
      "1,000-incremental chain onto a full disk: rotation alone %.2f ms, with history and metrics "
      "%.2f ms (+%.1f%% of the rotation); the run driver's whole run %.2f ms (the history and "
      "metrics %.1f%% of it); the program's run %.2f ms, of which the history and metrics %.1f%% "
      "(goal at most 5%%)\n",
      p * 1000, r * 1000, (r - p) / p * 100, w * 1000, (r - p) / w * 100, pr * 1000, added);
  std::error_code ec;
  if (own)
    fs::remove_all(base, ec);
  else
    for (const char* d : {"/src", "/dst", "/env", "/tavik.prom", "/job.ini", "/bin", "/runtime",
                          "/program.out", "/program.err"})
      fs::remove_all(base + d, ec);
  return added <= 5 ? 0 : 1;
}
