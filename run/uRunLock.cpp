#include "run/uRunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "notify/uNotifier.h"
#include "platform/uErrors.h"

namespace tavik {

std::string RunLockPath() {
  return SettingsFolder() + "TavikBackup.lock";
}

TRunLock::TRunLock(std::string path) : path_(std::move(path)) {}

TRunLock::~TRunLock() {
  Release();
}

namespace {
pid_t ReadPid(int fd) {
  char buf[32] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  return static_cast<pid_t>(std::strtol(buf, nullptr, 10));
}
}  // namespace

bool TRunLock::TryAcquire() {
  if (Held()) return true;
  holder_ = 0;
  failure_.clear();
  // flock needs no write access: a lock file other accounts may open would let any of them
  // hold every backup off, so it is the owner's alone (also one an earlier version left 0644).
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    failure_ = "Cannot open " + path_ + ": " + SysErrorMessage(errno);
    return false;
  }
  if (::fchmod(fd, 0600) != 0) {
    // Another owner's file: the open above already shows we may use it; its mode is theirs.
  }
  // A start of the program looks at the lock for a moment to rotate its log; a run that
  // starts in that moment waits it out rather than being refused.
  for (int attempt = 0;; ++attempt) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK || attempt >= 10) {
      if (err != EWOULDBLOCK) failure_ = "Cannot lock " + path_ + ": " + SysErrorMessage(err);
      // The holder writes its id just after it takes the lock.
      for (int read = 0; err == EWOULDBLOCK && holder_ <= 0 && read < 5; ++read) {
        if (read > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        holder_ = ReadPid(fd);
      }
      ::close(fd);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fd_ = fd;
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, pid.data(), pid.size(), 0) < 0) {
    // The pid is only there to be named to a second run; the lock holds without it.
  }
  return true;
}

void TRunLock::Release() {
  if (fd_ < 0) return;
  // The pid stays in the file: a run that finds the lock free never reads it.
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

std::string TRunLock::RefusalText() const {
  if (!failure_.empty()) return failure_;
  return "Another backup run (process " + (holder_ > 0 ? std::to_string(holder_) : std::string("unknown")) +
         ") is in progress";
}

}  // namespace tavik
