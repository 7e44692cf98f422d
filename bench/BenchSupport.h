#pragma once
// What the benchmarks share: running a peer tool and the bench's working folder.
#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace tavik::bench {

// The middle of the values: the figure a bench of several turns reports.
inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Runs a program found on PATH and waits for it; true when it exited with 0.
inline bool Run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The folder named on the command line, else by TAVIK_BENCH_DIR, else a new one under /tmp
// (own is then set: the caller removes it). Empty when none could be made.
inline std::string BenchFolder(const char* given, bool& own) {
  own = false;
  if (given && *given) return given;
  if (const char* env = std::getenv("TAVIK_BENCH_DIR"); env && *env) return env;
  char tmpl[] = "/tmp/tavik-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return "";
  }
  own = true;
  return tmpl;
}

// Whether base has need bytes free; says what is missing otherwise, and removes base when the
// bench made it.
inline bool EnoughRoom(const std::string& base, unsigned long long need, bool own) {
  struct statvfs fs {};
  if (statvfs(base.c_str(), &fs) == 0 && static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize >= need)
    return true;
  std::fprintf(stderr, "%s: %llu MiB free needed\n", base.c_str(), need >> 20);
  std::error_code ec;
  if (own) std::filesystem::remove_all(base, ec);
  return false;
}

}  // namespace tavik::bench
