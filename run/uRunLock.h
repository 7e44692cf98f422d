#pragma once
// One backup run at a time on this machine. Two runs on one disk delete each other's temporary
// copies and rename each other's half-written files into place; the lock keeps the second out.
#include <sys/types.h>

#include <string>

namespace tavik {

// The lock's file, beside the notification settings.
std::string RunLockPath();

// An exclusive lock on a file, held until released or until the process ends (the kernel drops
// it with the last descriptor, so a killed run never leaves it held).
class TRunLock {
 public:
  explicit TRunLock(std::string path = RunLockPath());
  ~TRunLock();
  TRunLock(const TRunLock&) = delete;
  TRunLock& operator=(const TRunLock&) = delete;

  // True when this process now holds the lock. False when another does (Holder() names it
  // when it can be read) or when the lock file cannot be opened (Failure() says why).
  bool TryAcquire();
  void Release();
  bool Held() const { return fd_ >= 0; }
  pid_t Holder() const { return holder_; }
  const std::string& Failure() const { return failure_; }
  // What a run that could not have the lock tells: who holds it, or why it could not be had.
  std::string RefusalText() const;

 private:
  std::string path_;
  int fd_ = -1;
  pid_t holder_ = 0;
  std::string failure_;
};

}  // namespace tavik
