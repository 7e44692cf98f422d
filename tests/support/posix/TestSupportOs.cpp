// What the tests' helpers ask of a POSIX system.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "tests/support/TestSupport.h"

namespace tavik::test {

TTempDir::TTempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tavik-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

void SetEnv(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnv(const std::string& name) {
  ::unsetenv(name.c_str());
}

void RewriteKeepingTimes(const std::string& path, const std::string& text) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  std::fstream(path, std::ios::binary | std::ios::in | std::ios::out) << text;
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("cannot set the times of " + path);
}

void SetMTime(const std::string& path, long long epochSeconds) {
  utimbuf t{static_cast<time_t>(epochSeconds), static_cast<time_t>(epochSeconds)};
  if (::utime(path.c_str(), &t) != 0) throw std::runtime_error("utime failed for " + path);
}

bool Sha256sumCheck(const std::string& folder, std::string* output) {
  std::string quoted = "'";
  for (char c : folder) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  FILE* p = ::popen(("cd " + quoted + " && sha256sum -c SHA256SUMS 2>&1").c_str(), "r");
  if (!p) return false;
  std::string text;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) text += buf;
  const int status = ::pclose(p);
  if (output) *output = text;
  return status == 0;
}

TScopedTz::TScopedTz(const char* tz) {
  if (const char* old = std::getenv("TZ")) {
    saved_ = old;
    had_ = true;
  }
  ::setenv("TZ", tz, 1);
  ::tzset();
}

TScopedTz::~TScopedTz() {
  if (had_)
    ::setenv("TZ", saved_.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

// A disk of its own that can fill up or be pulled: a sized tmpfs mounted at the test's folder.
TSmallDisk::TSmallDisk(const std::string& at, const std::string& size) : at_(at) {
  mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

TSmallDisk::~TSmallDisk() {
  if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
}

void DieWhenAFileReaches(unsigned long long bytes) {
  const rlimit noCore{0, 0}, size{bytes, RLIM_INFINITY};
  ::setrlimit(RLIMIT_CORE, &noCore);
  ::signal(SIGXFSZ, SIG_DFL);
  ::setrlimit(RLIMIT_FSIZE, &size);
}

}  // namespace tavik::test
