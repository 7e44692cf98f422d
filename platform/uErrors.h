#pragma once
// Failures carry the English message the user or the run log will see.
#include <stdexcept>
#include <string>

namespace tavik {

class EQorvError : public std::runtime_error {
 public:
  explicit EQorvError(const std::string& msg) : std::runtime_error(msg) {}
  std::string Message() const { return what(); }
};

// A file of the run log or the system could not be opened, read or written.
class EInOutError : public EQorvError {
 public:
  using EQorvError::EQorvError;
};

class ESocketError : public EQorvError {
 public:
  using EQorvError::EQorvError;
};

class EStreamError : public EQorvError {
 public:
  using EQorvError::EQorvError;
};

// A caller broke a contract that only a programming error can break.
class EAssertionFailed : public EQorvError {
 public:
  using EQorvError::EQorvError;
};

// Thrown by WarnAndAbort after its box: every window handler swallows it quietly.
class ESilentAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "silent abort"; }
};

// The system's text for an error code: errno on POSIX, GetLastError or WSAGetLastError on Windows.
std::string SysErrorMessage(int err);

}  // namespace tavik
