// A whole night as the scheduler starts it: the program's -h run of a chain of N incrementals
// (10,000) onto an empty disk, beside rsync -a --fsync of the same chain, each net of its
// start-up (the same run of the full image alone). The two take turns, each turn pairing a run
// with an rsync made seconds apart (this VM's fsync latency drifts), and the median of the
// turns' ratios counts. Goal: at most 1.10.
//   bench_night [folder] [N] [turns]   (or TAVIK_BENCH_DIR; default: a new folder under /tmp, 10000, 5)
// Removes everything it wrote.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchChain.h"
#include "bench/BenchSupport.h"
#include "core/uJobSettings.h"
#include "tests/support/ProgramRun.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct TWorkspace {
  std::string base, program;

  // A copy of the program with its job file beside it, its settings in the bench's folder.
  void Job(const std::string& src, const std::string& dst) const {
    std::ofstream(tavik::JobSettingsPathFor(program), std::ios::binary)
        << "[Main]\r\nSystemDiskAllowed=1\r\nMaxImageAgeHours=0\r\nIDPath=" << dst << "\r\nSource=" << src
        << "\r\nDestination=" << dst << "\r\nVolume=SRV_C_VOL\r\n";
  }

  double Night(const std::string& src, const std::string& dst) const {
    std::error_code ec;
    fs::remove_all(dst, ec);
    fs::create_directories(dst);
    Job(src, dst);
    tavik::test::TProgramLaunch launch;
    launch.program = program;
    launch.args = {"-h"};
    launch.workDir = base;
    launch.outPrefix = base + "/program";
    launch.timeoutSeconds = 3600;
    launch.env = {{"QT_QPA_PLATFORM", "offscreen"},
                  {"XDG_RUNTIME_DIR", base + "/runtime"},
                  {"PROGRAMDATA", base + "/env"},
                  {"HOME", base + "/env"},
                  {"XDG_DATA_HOME", base + "/env"}};
    const tavik::test::TProgramRun run = tavik::test::RunProgram(launch);
    if (run.status != 0) std::fprintf(stderr, "program exited %d: %s\n", run.status, run.output.c_str());
    return run.seconds;
  }

  double Rsync(const std::string& src, const std::string& dst) const {
    std::error_code ec;
    fs::remove_all(dst, ec);
    const auto t0 = Clock::now();
    if (!tavik::bench::Run({"rsync", "-a", "--fsync", src + "/", dst + "/"})) return -1;
    return std::chrono::duration<double>(Clock::now() - t0).count();
  }
};

}  // namespace

int main(int argc, char** argv) {
  bool own = false;
  const std::string base = tavik::bench::BenchFolder(argc > 1 ? argv[1] : nullptr, own);
  if (base.empty()) return 1;
  const int n = argc > 2 ? std::atoi(argv[2]) : 10000;
  const int turns = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  if (!tavik::bench::Run({"sh", "-c", "rsync --version >/dev/null"})) {
    std::fprintf(stderr, "rsync is not installed: nothing to weigh the night against\n");
    return 1;
  }
  TWorkspace w{base, base + "/bin/TavikBackupCopy"};
  for (const char* d : {"/bin", "/env", "/runtime"}) fs::create_directories(base + d);
  fs::permissions(base + "/runtime", fs::perms::owner_all);
  fs::copy_file(TAVIK_PROGRAM, w.program);
  const std::string chain = base + "/chain", alone = base + "/alone";
  tavik::bench::MakeChain(chain, n);
  tavik::bench::MakeChain(alone, 0);  // the full image alone: the start-up of either tool
  tavik::bench::Run({"sync"});

  std::vector<double> ratios;
  for (int turn = 0; turn < turns; ++turn) {
    // Who goes first alternates: the file system's state after thousands of new files weighs on
    // the next writer.
    double prog = 0, rs = 0, prog0 = 0, rs0 = 0;
    if (turn % 2 == 0) {
      rs = w.Rsync(chain, base + "/rsync");
      prog = w.Night(chain, base + "/disk");
    } else {
      prog = w.Night(chain, base + "/disk");
      rs = w.Rsync(chain, base + "/rsync");
    }
    prog0 = w.Night(alone, base + "/disk0");
    rs0 = w.Rsync(alone, base + "/rsync0");
    const double net = prog - prog0, rnet = rs - rs0;
    ratios.push_back(rnet > 0 ? net / rnet : 0);
    std::printf("turn %d: -h %.2f s (start-up %.2f), rsync -a --fsync %.2f s (start-up %.2f): %.2fx\n",
                turn + 1, prog, prog0, rs, rs0, ratios.back());
    std::fflush(stdout);
  }
  const double m = tavik::bench::Median(ratios);
  std::printf(
      "the whole -h run of %d incrementals against rsync -a --fsync, net of start-up: %.2fx (goal <= 1.10: "
      "%s)\n",
      n, m, m <= 1.10 ? "met" : "MISSED");
  std::error_code ec;
  if (own) fs::remove_all(base, ec);
  return 0;
}
