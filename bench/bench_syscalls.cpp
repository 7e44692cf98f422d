// System calls per copied file: one volume's rotation of a chain of N tiny incrementals (3,000
// by default) onto an empty folder, counted by strace -c -f, beside rsync -a --fsync of the
// same chain. The whole process is counted (start-up, the listing, the log, the manifest), then
// divided by the files copied.
//   bench_syscalls [folder] [N]   (or TAVIK_BENCH_DIR; default: a new folder under /tmp)
// Needs strace; rsync's column is left out where rsync is missing. Removes everything it wrote.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchChain.h"
#include "bench/BenchSupport.h"

namespace {

using tavik::bench::Run;
namespace fs = std::filesystem;

// strace -c's table: calls by name, and the total.
std::map<std::string, long> Counts(const std::string& file) {
  std::map<std::string, long> r;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string x; words >> x;) w.push_back(x);
    // "% time, seconds, usecs/call, calls, [errors,] syscall", the total's row alike.
    if (w.size() < 5 || !std::isdigit(static_cast<unsigned char>(w[0][0]))) continue;
    r[w.back()] = std::atol(w[3].c_str());
  }
  return r;
}

std::map<std::string, long> Traced(const std::vector<std::string>& command, const std::string& out) {
  std::vector<std::string> args = {"strace", "-c", "-f", "-o", out};
  args.insert(args.end(), command.begin(), command.end());
  if (!Run(args)) return {};
  return Counts(out);
}

}  // namespace

int main(int argc, char** argv) {
  // The rotation itself, as the run makes it: what strace watches.
  if (argc == 4 && std::string(argv[1]) == "--rotate") {
    tavik::bench::RotateChain(argv[2], argv[3]);
    return 0;
  }
  bool own = false;
  const std::string base = tavik::bench::BenchFolder(argc > 1 ? argv[1] : nullptr, own);
  if (base.empty()) return 1;
  const int n = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3000;
  if (!Run({"sh", "-c", "strace -V >/dev/null"})) {
    std::fprintf(stderr, "strace is needed\n");
    return 1;
  }
  for (const char* var : {"PROGRAMDATA", "XDG_DATA_HOME", "HOME"}) {
    fs::create_directories(base + "/env");
    ::setenv(var, (base + "/env").c_str(), 1);
  }
  const std::string src = base + "/src";
  tavik::bench::MakeChain(src, n);
  const long files = n + 1;
  const auto ours = Traced({fs::canonical("/proc/self/exe").string(), "--rotate", src, base + "/dst"},
                           base + "/ours.strace");
  const bool haveRsync = Run({"sh", "-c", "rsync --version >/dev/null"});
  const auto theirs =
      haveRsync ? Traced({"rsync", "-a", "--fsync", src + "/", base + "/rsync/"}, base + "/rsync.strace")
                : std::map<std::string, long>{};
  std::printf("system calls per copied file, %ld files of 4 KiB\n", files);
  std::printf("%-20s %10s %10s\n", "call", "ours", haveRsync ? "rsync" : "");
  auto per = [&](const std::map<std::string, long>& m, const std::string& k) {
    const auto it = m.find(k);
    return it == m.end() ? 0.0 : static_cast<double>(it->second) / static_cast<double>(files);
  };
  std::vector<std::pair<long, std::string>> rows;
  for (const auto& [name, count] : ours)
    if (name != "total") rows.emplace_back(count, name);
  std::sort(rows.rbegin(), rows.rend());
  for (const auto& row : rows) {
    if (static_cast<double>(row.first) / static_cast<double>(files) < 0.05) continue;
    std::printf("%-20s %10.2f", row.second.c_str(), per(ours, row.second));
    if (haveRsync) std::printf(" %10.2f", per(theirs, row.second));
    std::printf("\n");
  }
  std::printf("%-20s %10.2f", "total", per(ours, "total"));
  if (haveRsync)
    std::printf(" %10.2f   (ratio %.2f)", per(theirs, "total"), per(ours, "total") / per(theirs, "total"));
  std::printf("\n");
  std::error_code ec;
  if (own)
    fs::remove_all(base, ec);
  else
    for (const char* sub : {"src", "dst", "rsync", "env", "ours.strace", "rsync.strace"})
      fs::remove_all(base + "/" + sub, ec);
  return ours.empty() ? 1 : 0;
}
