#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/support/Loopback.h"

namespace tavik::test {

namespace {
// A socket bound to a free port of 127.0.0.1, and that port.
int BoundLoopback(int& port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("cannot bind to 127.0.0.1");
  port = ntohs(a.sin_port);
  return s;
}
}  // namespace

TLoopbackPeer::TLoopbackPeer(std::string greeting) : greeting_(std::move(greeting)) {
  listener_ = BoundLoopback(port_);
  ::listen(static_cast<int>(listener_), 1);
  thread_ = std::thread([this] { Serve(); });
}

TLoopbackPeer::~TLoopbackPeer() {
  // Ends an accept still waiting for a client that never came.
  ::shutdown(static_cast<int>(listener_), SHUT_RDWR);
  thread_.join();
  ::close(static_cast<int>(listener_));
}

void TLoopbackPeer::Serve() {
  const int c = ::accept(static_cast<int>(listener_), nullptr, nullptr);
  if (c < 0) return;
  if (!greeting_.empty()) ::send(c, greeting_.data(), greeting_.size(), MSG_NOSIGNAL);
  char buf[4096];
  for (ssize_t n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;)
    ::send(c, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
  ::close(c);
}

int ClosedLoopbackPort() {
  int port = 0;
  ::close(BoundLoopback(port));
  return port;
}

}  // namespace tavik::test
