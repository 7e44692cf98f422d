#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

#include "tests/support/Loopback.h"

namespace tavik::test {

namespace {
struct TWinsock {
  TWinsock() {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
  }
  ~TWinsock() { WSACleanup(); }
};

// A socket bound to a free port of 127.0.0.1, and that port.
SOCKET BoundLoopback(int& port) {
  static TWinsock started;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("cannot bind to 127.0.0.1");
  port = ntohs(a.sin_port);
  return s;
}
}  // namespace

TLoopbackPeer::TLoopbackPeer(std::string greeting) : greeting_(std::move(greeting)) {
  listener_ = static_cast<long long>(BoundLoopback(port_));
  ::listen(static_cast<SOCKET>(listener_), 1);
  thread_ = std::thread([this] { Serve(); });
}

TLoopbackPeer::~TLoopbackPeer() {
  // Closing the listener ends an accept still waiting for a client that never came.
  ::closesocket(static_cast<SOCKET>(listener_));
  thread_.join();
}

void TLoopbackPeer::Serve() {
  const SOCKET c = ::accept(static_cast<SOCKET>(listener_), nullptr, nullptr);
  if (c == INVALID_SOCKET) return;
  if (!greeting_.empty()) ::send(c, greeting_.data(), static_cast<int>(greeting_.size()), 0);
  char buf[4096];
  for (int n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;) ::send(c, buf, n, 0);
  ::closesocket(c);
}

int ClosedLoopbackPort() {
  int port = 0;
  ::closesocket(BoundLoopback(port));
  return port;
}

}  // namespace tavik::test
