#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/uClock.h"
#include "platform/uErrors.h"
#include "platform/uOs.h"
#include "platform/uTls.h"

namespace tavik::os {

namespace {
std::string AddressText(const sockaddr_storage& sa) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* addr = sa.ss_family == AF_INET6
                         ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(sa).sin6_addr)
                         : static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(sa).sin_addr);
  return inet_ntop(sa.ss_family, addr, text, sizeof text) ? std::string(text) : std::string();
}

// With a send or receive time-out set, "would block" means the network moved nothing for that long.
long Moved(ssize_t n, int& error) {
  if (n < 0) error = (errno == EAGAIN || errno == EWOULDBLOCK) ? ETIMEDOUT : errno;
  return static_cast<long>(n);
}
}  // namespace

void SocketsStart() {}
void SocketsStop() {}

int TimedOutCode() {
  return ETIMEDOUT;
}
int InvalidCode() {
  return EINVAL;
}
int ClosedCode() {
  return EPIPE;
}

bool Interrupted(int error) {
  return error == EINTR;
}

bool ParseIPv4(const std::string& address, int port, TSockAddr& out) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return false;
  std::memcpy(out.bytes, &peer, sizeof peer);
  out.length = sizeof peer;
  out.family = AF_INET;
  return true;
}

int Resolve(const std::string& name, int port, std::vector<TSockAddr>& out, std::string& errorText) {
  // An unknown name must not fall back to 0.0.0.0, which Linux would take for this machine.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc == EAI_NONAME || rc == EAI_ADDRFAMILY) {
    // Without a configured address of a family, literals of it (::1 on a host without IPv6
    // routes) are still worth a try.
    hints.ai_flags = 0;
    rc = getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
  }
  if (rc != 0 || !found) {
    const int err = rc == EAI_SYSTEM ? errno : rc;
    errorText = rc == EAI_SYSTEM ? SysErrorMessage(err) : std::string(gai_strerror(rc));
    return err != 0 ? err : EAI_NONAME;
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
  return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

void CloseSocket(int s) {
  ::close(s);
}

int ConnectWithin(int s, const TSockAddr& peer, int64_t deadline, int timeoutMs) {
  // A non-blocking connect is the only way to bound its wait; the socket is blocking again after it.
  const int flags = fcntl(s, F_GETFL);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);
  int err = 0;
  if (connect(s, reinterpret_cast<const sockaddr*>(peer.bytes), peer.length) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      // A deadline already past still gets a look at a connect that completed at once.
      const int ready = PollUntil(s, POLLOUT, deadline > 0 ? std::max(deadline, MonotonicMs() + 1) : 0);
      if (ready == 0) {
        err = ETIMEDOUT;
      } else if (ready < 0) {
        err = errno;
      } else {
        socklen_t len = sizeof err;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
    }
  }
  if (err != 0) return err;
  fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
  if (timeoutMs > 0) {
    // A server that stops reading must not hold a send forever either, nor one that stops in the
    // middle of an encrypted record a read.
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  return 0;
}

long SendSome(int s, const char* data, size_t count, int& error) {
  return Moved(send(s, data, count, MSG_NOSIGNAL), error);
}

long ReceiveSome(int s, char* buffer, size_t count, int& error) {
  return Moved(recv(s, buffer, count, 0), error);
}

int WaitReadable(int s, int waitMs, int& error) {
  const int ready = PollUntil(s, POLLIN, waitMs > 0 ? MonotonicMs() + waitMs : 0);
  if (ready < 0) error = errno;
  return ready;
}

void PushOut(int s) {
  int on = 1, off = 0;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
}

std::string LocalAddressOf(int s) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return AddressText(sa);
}

std::string PeerAddressOf(int s) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return AddressText(sa);
}

std::string LocalHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace tavik::os
