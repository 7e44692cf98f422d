// Throughput of --verify over 2 GiB of image files on the disk against sha256sum -c over the same
// files, side by side, the pages of every file dropped from the cache before each contender.
// Goal: --verify at least 1.0x sha256sum's throughput.
//   bench_verify [folder]     (or TAVIK_BENCH_DIR; default: a new folder under /tmp)
// Needs about 4.2 GiB free there (the source and the disk's copy); removes everything it wrote.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "run/uVerify.h"

namespace {

using tavik::bench::Run;

constexpr long long FileSize = 256LL << 20;
constexpr int Files = 8;  // 2 GiB
constexpr int Rounds = 3;

std::vector<std::string> Names() {
  std::vector<std::string> names{"C_full.spf"};
  for (int i = 1; i < Files; ++i) names.push_back("C_full-i00" + std::to_string(i) + ".spi");
  return names;
}

bool MakeFile(const std::string& path, unsigned seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> chunk(1 << 20);
  unsigned x = seed;
  for (long long done = 0; done < FileSize && out; done += static_cast<long long>(chunk.size())) {
    for (char& c : chunk) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  }
  return out.good();
}

// Flushed, then dropped from the cache: the next read comes from the device.
void DropCache(const std::string& folder) {
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const int fd = ::open(e.path().c_str(), O_RDONLY);
    if (fd < 0) continue;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
}

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  bool own = false;
  const std::string base = tavik::bench::BenchFolder(argc > 1 ? argv[1] : nullptr, own);
  if (base.empty()) return 1;
  if (!tavik::bench::EnoughRoom(base, 2ULL * Files * FileSize + (256ULL << 20), own)) return 1;
  const std::string src = base + "/source", disk = base + "/disk", data = base + "/programdata",
                    job = base + "/TavikBackupCopy.ini";
  for (const std::string& d : {src, disk, data}) std::filesystem::create_directories(d);
  // The settings, the run lock and the run log of the command stay in the bench's folder.
  ::setenv("PROGRAMDATA", data.c_str(), 1);
  int rc = 0;
  unsigned seed = 1;
  for (const std::string& name : Names()) {
    if (!MakeFile(src + "/" + name, seed++) ||
        !Run({"cp", "--reflink=never", src + "/" + name, disk + "/" + name})) {
      std::fprintf(stderr, "cannot write %s\n", name.c_str());
      rc = 1;
      break;
    }
  }
  if (rc == 0 && !Run({"sh", "-c", "cd '" + disk + "' && sha256sum *.sp? > SHA256SUMS"})) rc = 1;
  std::ofstream(job) << "[Main]\nSource=" << src << "\nDestination=" << disk << "\nVolume=C\n";
  if (rc == 0) {
    std::printf("%d files, %lld MiB in %s, median of %d rounds, cache dropped before each\n", Files,
                Files * FileSize >> 20, base.c_str(), Rounds);
    std::vector<double> sums, verifies;
    for (int r = 0; r < Rounds && rc == 0; ++r) {
      for (int turn = 0; turn < 2; ++turn) {
        const bool ours = (turn + r) % 2 == 1;
        DropCache(disk);
        const auto t0 = std::chrono::steady_clock::now();
        std::ostringstream out, err;
        const bool ok = ours ? tavik::VerifyCommand(out, err, job) == 0
                             : Run({"sh", "-c", "cd '" + disk + "' && sha256sum --quiet -c SHA256SUMS"});
        (ours ? verifies : sums).push_back(Seconds(t0));
        if (!ok) {
          std::fprintf(stderr, "%s failed\n%s", ours ? "--verify" : "sha256sum -c", err.str().c_str());
          rc = 1;
          break;
        }
      }
    }
    if (rc == 0) {
      std::sort(sums.begin(), sums.end());
      std::sort(verifies.begin(), verifies.end());
      const double mib = static_cast<double>(Files * FileSize >> 20), s = sums[sums.size() / 2],
                   v = verifies[verifies.size() / 2];
      std::printf(
          "sha256sum -c %.2f s (%.0f MiB/s), --verify %.2f s (%.0f MiB/s): --verify at %.2fx (goal >= 1.0)\n",
          s, mib / s, v, mib / v, s / v);
    }
  }
  std::error_code ec;
  if (own)
    std::filesystem::remove_all(base, ec);
  else
    for (const std::string& d : {src, disk, data, job}) std::filesystem::remove_all(d, ec);
  return rc;
}
