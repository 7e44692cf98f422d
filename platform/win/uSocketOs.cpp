#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

#include "platform/uClock.h"
#include "platform/uErrors.h"
#include "platform/uOs.h"
#include "platform/uSocket.h"
#include "platform/uTls.h"

namespace tavik::os {

namespace {
// Socket handles are kernel handles, which Windows keeps within 32 bits so that 32- and 64-bit
// programs can share them; the portable code holds them as int.
SOCKET S(int s) {
  return static_cast<SOCKET>(static_cast<unsigned>(s));
}

std::string AddressText(const sockaddr_storage& sa) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* addr = sa.ss_family == AF_INET6
                         ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(sa).sin6_addr)
                         : static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(sa).sin_addr);
  return inet_ntop(sa.ss_family, addr, text, sizeof text) ? std::string(text) : std::string();
}

long Moved(int n, int& error) {
  if (n == SOCKET_ERROR) error = WSAGetLastError();
  return n == SOCKET_ERROR ? -1 : n;
}

void SetBlocking(int s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  ioctlsocket(S(s), FIONBIO, &nonBlocking);
}
}  // namespace

void SocketsStart() {
  WSADATA data;
  const int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) throw ESocketError(SocketErrorText(SysErrorMessage(rc), rc, "WSAStartup"));
}

void SocketsStop() {
  WSACleanup();
}

int TimedOutCode() {
  return WSAETIMEDOUT;
}
int InvalidCode() {
  return WSAEINVAL;
}
int ClosedCode() {
  return WSAECONNRESET;
}

bool Interrupted(int error) {
  return error == WSAEINTR;
}

bool ParseIPv4(const std::string& address, int port, TSockAddr& out) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<u_short>(port));
  if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return false;
  std::memcpy(out.bytes, &peer, sizeof peer);
  out.length = sizeof peer;
  out.family = AF_INET;
  return true;
}

int Resolve(const std::string& name, int port, std::vector<TSockAddr>& out, std::string& errorText) {
  // No AI_ADDRCONFIG: Windows does not count loopback as configured, so a host with only
  // 127.0.0.1 would not find "localhost".
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0 || !found) {
    const int err = rc != 0 ? rc : WSAHOST_NOT_FOUND;
    errorText = SysErrorMessage(err);
    return err;
  }
  for (const addrinfo* a = found; a; a = a->ai_next) {
    TSockAddr peer;
    std::memcpy(peer.bytes, a->ai_addr, a->ai_addrlen);
    peer.length = static_cast<unsigned>(a->ai_addrlen);
    peer.family = a->ai_family;
    out.push_back(peer);
  }
  freeaddrinfo(found);
  return 0;
}

int OpenStreamSocket(int family) {
  const SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  // Not handed down to programs this one starts.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<int>(s);
}

void CloseSocket(int s) {
  closesocket(S(s));
}

int ConnectWithin(int s, const TSockAddr& peer, int64_t deadline, int timeoutMs) {
  // A non-blocking connect is the only way to bound its wait; the socket is blocking again after it.
  SetBlocking(s, false);
  int err = 0;
  if (connect(S(s), reinterpret_cast<const sockaddr*>(peer.bytes), static_cast<int>(peer.length)) != 0) {
    err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS) {
      // A refused connect shows in the exception set, not as writable.
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(S(s), &writable);
      FD_SET(S(s), &failed);
      timeval tv{};
      timeval* wait = nullptr;
      if (deadline > 0) {
        const int64_t left = std::max<int64_t>(deadline - MonotonicMs(), 1);
        tv.tv_sec = static_cast<long>(left / 1000);
        tv.tv_usec = static_cast<long>((left % 1000) * 1000);
        wait = &tv;
      }
      const int ready = select(0, nullptr, &writable, &failed, wait);
      if (ready == 0) {
        err = WSAETIMEDOUT;
      } else if (ready == SOCKET_ERROR) {
        err = WSAGetLastError();
      } else {
        int len = sizeof err;
        err = 0;
        if (getsockopt(S(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
          err = WSAGetLastError();
        if (err == 0 && FD_ISSET(S(s), &failed)) err = WSAECONNREFUSED;
      }
    }
  }
  if (err != 0) return err;
  SetBlocking(s, true);
  if (timeoutMs > 0) {
    // A server that stops reading must not hold a send forever either.
    const DWORD ms = static_cast<DWORD>(timeoutMs);
    setsockopt(S(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    setsockopt(S(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
  }
  return 0;
}

long SendSome(int s, const char* data, size_t count, int& error) {
  const int chunk = count > 0x40000000 ? 0x40000000 : static_cast<int>(count);
  return Moved(send(S(s), data, chunk, 0), error);
}

long ReceiveSome(int s, char* buffer, size_t count, int& error) {
  const int chunk = count > 0x40000000 ? 0x40000000 : static_cast<int>(count);
  return Moved(recv(S(s), buffer, chunk, 0), error);
}

int WaitReadable(int s, int waitMs, int& error) {
  const int ready = PollUntil(s, POLLIN, waitMs > 0 ? MonotonicMs() + waitMs : 0);
  if (ready < 0) error = WSAGetLastError();
  return ready;
}

void PushOut(int s) {
  BOOL on = TRUE, off = FALSE;
  setsockopt(S(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  setsockopt(S(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&off), sizeof off);
}

std::string LocalAddressOf(int s) {
  sockaddr_storage sa{};
  int len = sizeof sa;
  if (getsockname(S(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return AddressText(sa);
}

std::string PeerAddressOf(int s) {
  sockaddr_storage sa{};
  int len = sizeof sa;
  if (getpeername(S(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return AddressText(sa);
}

std::string LocalHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace tavik::os
