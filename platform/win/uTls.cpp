#include "platform/uTls.h"

#include <winsock2.h>

#include <algorithm>
#include <filesystem>

#include "platform/uClock.h"
#include "platform/uErrors.h"
#include "platform/win/uWin.h"

namespace tavik {

// Encryption is not part of the Windows build yet: a session refuses plainly, before a byte is
// sent, so a mail that asks for TLS is never sent in the clear.
namespace {
constexpr const char* kNoTls = "TLS is not available in this build for Windows yet";
}

int PollUntil(int fd, short events, int64_t deadline) {
  const SOCKET s = static_cast<SOCKET>(static_cast<unsigned>(fd));
  fd_set readable, writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  if (events & POLLIN) FD_SET(s, &readable);
  if (events & POLLOUT) FD_SET(s, &writable);
  timeval tv{};
  timeval* wait = nullptr;
  if (deadline > 0) {
    const int64_t left = std::max<int64_t>(deadline - MonotonicMs(), 0);
    tv.tv_sec = static_cast<long>(left / 1000);
    tv.tv_usec = static_cast<long>((left % 1000) * 1000);
    wait = &tv;
  }
  const int rc = select(0, &readable, &writable, nullptr, wait);
  if (rc == SOCKET_ERROR) return -1;
  if (rc == 0) return 0;
  return (FD_ISSET(s, &readable) ? POLLIN : 0) | (FD_ISSET(s, &writable) ? POLLOUT : 0);
}

std::string CaFileProblem(const std::string& caFile) {
  if (caFile.empty()) return {};
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::path(win::Widen(caFile)), ec))
    return "The CA file " + caFile + " is missing or not a regular file";
  return {};
}

struct TTlsSession::TImpl {};

TTlsSession::TTlsSession(int, const TTlsOptions&, int) {
  throw ESocketError(kNoTls);
}

TTlsSession::~TTlsSession() = default;

long TTlsSession::Write(const char*, size_t, int) {
  return -1;
}

long TTlsSession::Read(char*, size_t, int64_t) {
  return -1;
}

}  // namespace tavik
