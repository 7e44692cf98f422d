#pragma once
// What the benchmarks share: running a peer tool and the bench's working folder.
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace tavik::bench {

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

}  // namespace tavik::bench
