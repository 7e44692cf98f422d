#include "platform/uSystem.h"

#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace tavik {

namespace {
std::string EnvOr(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string StripTrailing(std::string p) {
  while (p.size() > 1 && p.back() == PathDelim) p.pop_back();
  return p;
}
}  // namespace

std::string SpecialFolderOs(TSpecialFolder which) {
  std::string p;
  if (which == TSpecialFolder::CommonAppData) {
    p = EnvOr("PROGRAMDATA");
    if (p.empty()) p = "/var/lib";
  } else {
    p = EnvOr("XDG_DATA_HOME");
    if (p.empty()) {
      std::string home = EnvOr("HOME");
      if (home.empty()) {
        if (passwd* pw = getpwuid(geteuid())) home = pw->pw_dir ? pw->pw_dir : "";
      }
      if (home.empty()) return {};
      p = StripTrailing(home) + "/.local/share";
    }
  }
  p = StripTrailing(p);
  if (p.size() > 260) p.resize(260);
  return p;
}

std::string LoginUserName() {
  if (passwd* pw = getpwuid(geteuid())) return pw->pw_name ? pw->pw_name : "";
  return {};
}

std::string HostComputerName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

std::string ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string TempFolderPath() {
  std::string t = EnvOr("TMPDIR");
  if (t.empty()) t = "/tmp";
  if (t.back() != PathDelim) t += PathDelim;
  return t;
}

unsigned long CurrentThreadId() {
  return static_cast<unsigned long>(syscall(SYS_gettid));
}

int64_t PhysicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  return pages > 0 && pageSize > 0 ? int64_t{pages} * pageSize : 0;
}

bool OpenWithDefaultHandler(const std::string& address) {
  pid_t pid = 0;
  const char* argv[] = {"xdg-open", address.c_str(), nullptr};
  if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
    return false;
  // The handler may stay until the browser closes; the window must not wait for it, yet the
  // child must be collected when it ends.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

bool StderrIsJournal() {
  static const bool journal = [] {
    const std::string stream = EnvOr("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(stream.c_str(), "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
  }();
  return journal;
}

std::string ExpandFileName(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  if (ec) return path;
  std::string r = abs.lexically_normal().string();
  // lexically_normal keeps a trailing separator as an empty last element; drop it unless root.
  if (r.size() > 1 && r.back() == PathDelim) r.pop_back();
  return r;
}

}  // namespace tavik
