// Wall time of one volume's rotation for a chain of N small incrementals (1,000 and 10,000):
// onto an empty destination (everything copied) and again onto the full one (nothing to copy),
// beside rsync -a --fsync of the same chain into an empty folder, with the run's own log lines.
// Each copy is timed twice, taking turns with rsync; the better of each pair counts.
//   bench_rotation [folder] [largest N]   (or TAVIK_BENCH_DIR; default: a new folder under /tmp)
// Goals: t(10,000)/t(1,000) at most 12 for both, the 10,000-file copy within 1.5x of rsync,
// peak memory under 64 MB. Removes everything it wrote.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchChain.h"
#include "bench/BenchSupport.h"

namespace {

using tavik::bench::Run;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A chain made and settled on the disk, so the first writer timed pays none of its flush.
void MakeChain(const std::string& folder, int n) {
  tavik::bench::MakeChain(folder, n);
  Run({"sync"});
}

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double Rotate(const std::string& src, const std::string& dst) {
  const auto t0 = Clock::now();
  tavik::bench::RotateChain(src, dst);
  return Since(t0);
}

double Rsync(const std::string& src, const std::string& dst) {
  const auto t0 = Clock::now();
  if (!Run({"rsync", "-a", "--fsync", src + "/", dst + "/"})) return -1;
  return Since(t0);
}

}  // namespace

int main(int argc, char** argv) {
  bool own = false;
  const std::string base = tavik::bench::BenchFolder(argc > 1 ? argv[1] : nullptr, own);
  if (base.empty()) return 1;
  const int largest = argc > 2 ? std::atoi(argv[2]) : 10000;
  // The run log and the settings go into the bench's folder, never the machine's.
  for (const char* var : {"PROGRAMDATA", "XDG_DATA_HOME", "HOME"}) {
    fs::create_directories(base + "/env");
    ::setenv(var, (base + "/env").c_str(), 1);
  }
  const bool haveRsync = Run({"sh", "-c", "rsync --version >/dev/null"});

  struct TRow {
    int n;
    double empty, full, rsync;
  };
  std::vector<TRow> rows;
  for (int n : {largest / 10, largest}) {
    const std::string src = base + "/src" + std::to_string(n), dst = base + "/dst" + std::to_string(n),
                      rs = base + "/rsync" + std::to_string(n);
    MakeChain(src, n);
    TRow row{n, 0, 0, -1};
    // The file system's state after one writer's thousands of new files weighs on the next
    // writer's: the rotation and rsync take turns going first, and each is timed twice.
    double rotations[2] = {}, rsyncs[2] = {-1, -1};
    for (int round = 0; round < 2; ++round) {
      const std::string suffix = "-" + std::to_string(round);
      if (haveRsync && round == 0) rsyncs[round] = Rsync(src, rs + suffix);
      rotations[round] = Rotate(src, dst + suffix);
      if (haveRsync && round == 1) rsyncs[round] = Rsync(src, rs + suffix);
    }
    row.empty = std::min(rotations[0], rotations[1]);
    row.rsync = haveRsync ? std::min(rsyncs[0], rsyncs[1]) : -1;
    row.full = Rotate(src, dst + "-0");
    std::error_code ec;
    for (const char* suffix : {"-0", "-1"}) {
      // The chain and its manifest.
      if (static_cast<int>(std::distance(fs::directory_iterator(dst + suffix), fs::directory_iterator())) !=
          n + 2)
        std::fprintf(stderr, "the destination does not hold the chain of %d\n", n);
      fs::remove_all(dst + suffix, ec);
      fs::remove_all(rs + suffix, ec);
    }
    fs::remove_all(src, ec);
    rows.push_back(row);
    std::printf(
        "%6d incrementals: onto empty %.2f s (%.2f, %.2f), onto full %.3f s, rsync -a --fsync %.2f s "
        "(%.2f, %.2f)\n",
        n, row.empty, rotations[0], rotations[1], row.full, row.rsync, rsyncs[0], rsyncs[1]);
    std::fflush(stdout);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("ratio t(%d)/t(%d): onto empty %.1f, onto full %.1f (goal <= 12)\n", rows[1].n, rows[0].n,
              rows[1].empty / rows[0].empty, rows[1].full / rows[0].full);
  if (rows[1].rsync > 0)
    std::printf("copy of %d against rsync: %.2f (goal <= 1.5)\n", rows[1].n, rows[1].empty / rows[1].rsync);
  std::printf("peak memory %.1f MB (goal < 64)\n", static_cast<double>(ru.ru_maxrss) / 1024.0);
  std::error_code ec;
  if (own) fs::remove_all(base, ec);
  return 0;
}
