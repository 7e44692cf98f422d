#include "platform/uSocket.h"

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
#include <vector>

#include "platform/uClock.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {

// Waits for events on fd for at most ms milliseconds (0: without limit), across interruptions.
// Returns the revents, 0 when the time ran out, -1 with errno on failure.
int PollFor(int fd, short events, int ms) {
  return PollUntil(fd, events, ms > 0 ? MonotonicMs() + ms : 0);
}

std::string AddressText(const sockaddr_storage& sa) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* addr = sa.ss_family == AF_INET6
                         ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(sa).sin6_addr)
                         : static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(sa).sin_addr);
  return inet_ntop(sa.ss_family, addr, text, sizeof text) ? std::string(text) : std::string();
}

// "[::1]" names the address ::1, as it is written in a URL.
std::string WithoutBrackets(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

}  // namespace

std::string SocketErrorText(const std::string& message, int code, const char* api) {
  return "Socket error: " + message + " (" + std::to_string(code) + "), on API '" + api + "'";
}

TClientSocket::TClientSocket() = default;

TClientSocket::~TClientSocket() {
  // The owner is going away: nobody is left to hear about the close.
  OnDisconnect = nullptr;
  OnError = nullptr;
  Close();
}

void TClientSocket::CheckInactive() const {
  if (connected_) throw ESocketError("Can't change value while socket is active");
}

void TClientSocket::SetHost(const std::string& host) {
  std::lock_guard g(lock_);
  CheckInactive();
  host_ = host;
}

void TClientSocket::SetAddress(const std::string& address) {
  std::lock_guard g(lock_);
  CheckInactive();
  address_ = address;
}

void TClientSocket::SetPort(int port) {
  std::lock_guard g(lock_);
  CheckInactive();
  port_ = port;
}

std::string TClientSocket::Host() const {
  std::lock_guard g(lock_);
  return host_;
}

std::string TClientSocket::Address() const {
  std::lock_guard g(lock_);
  return address_;
}

int TClientSocket::Port() const {
  std::lock_guard g(lock_);
  return port_;
}

void TClientSocket::SetTimeoutMs(int ms) {
  std::lock_guard g(lock_);
  timeoutMs_ = ms;
}

int TClientSocket::TimeoutMs() const {
  std::lock_guard g(lock_);
  return timeoutMs_;
}

bool TClientSocket::Connected() const {
  std::lock_guard g(lock_);
  return connected_;
}

void TClientSocket::ReportError(int err, const std::string& text, const char* api) {
  int code = err;
  lastErrorText_ = text;
  lastErrorCode_ = err;
  if (OnError) OnError(*this, code);
  Close();
  if (code != 0) throw ESocketError(SocketErrorText(text, code, api));
}

void TClientSocket::RaiseError(int err, const char* api) {
  std::lock_guard g(lock_);
  ReportError(err, SysErrorMessage(err), api);
}

void TClientSocket::Open() {
  std::lock_guard g(lock_);
  if (connected_) throw ESocketError("Socket already open");
  if (OnLookup) OnLookup(*this);
  const int64_t deadline = timeoutMs_ > 0 ? MonotonicMs() + timeoutMs_ : 0;
  // The peer's addresses, in the order to try them.
  std::vector<sockaddr_storage> peers;
  if (!address_.empty()) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port_));
    if (inet_pton(AF_INET, address_.c_str(), &peer.sin_addr) != 1) {
      ReportError(EINVAL, SysErrorMessage(EINVAL), "inet_addr");
      return;
    }
    sockaddr_storage ss{};
    std::memcpy(&ss, &peer, sizeof peer);
    peers.push_back(ss);
  } else if (!host_.empty()) {
    // An unknown name must not fall back to 0.0.0.0, which Linux would take for this machine.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string name = WithoutBrackets(host_);
    int rc = getaddrinfo(name.c_str(), std::to_string(port_).c_str(), &hints, &found);
    if (rc == EAI_NONAME || rc == EAI_ADDRFAMILY) {
      // Without a configured address of a family, literals of it (::1 on a host without IPv6
      // routes) are still worth a try.
      hints.ai_flags = 0;
      rc = getaddrinfo(name.c_str(), std::to_string(port_).c_str(), &hints, &found);
    }
    if (rc != 0 || !found) {
      const int err = rc == EAI_SYSTEM ? errno : rc;
      ReportError(err, rc == EAI_SYSTEM ? SysErrorMessage(err) : std::string(gai_strerror(rc)),
                  "getaddrinfo");
      return;
    }
    for (const addrinfo* a = found; a; a = a->ai_next) {
      sockaddr_storage ss{};
      std::memcpy(&ss, a->ai_addr, a->ai_addrlen);
      peers.push_back(ss);
    }
    freeaddrinfo(found);
  } else {
    throw ESocketError("No address specified");
  }
  int err = 0;
  try {
    for (size_t i = 0; i < peers.size(); ++i) {
      const sockaddr_storage& peer = peers[i];
      const bool last = i + 1 == peers.size();
      fd_ = socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd_ < 0) {
        // A family this host cannot speak leaves the other family's addresses to try.
        if (last) throw ESocketError("Can't create new socket");
        continue;
      }
      if (OnConnecting) OnConnecting(*this);
      const socklen_t len = peer.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
      // An address whose packets vanish (an IPv6 route that goes nowhere) must not use up the
      // whole time-out: each address gets an equal share of what is left, the last all of it.
      int64_t until = deadline;
      if (deadline > 0 && !last) {
        const int64_t now = MonotonicMs();
        until = now + std::max<int64_t>(1, (deadline - now) / static_cast<int64_t>(peers.size() - i));
      }
      err = ConnectWithin(&peer, len, until);
      // The last address tried keeps its handle, so the failure closes it as a failed connect does.
      if (err == 0 || last) break;
      ReleaseHandle();
    }
  } catch (...) {
    Close();
    throw;
  }
  if (!connected_) {
    ReportError(err, SysErrorMessage(err), "connect");
    return;
  }
  if (OnConnect) OnConnect(*this);
}

int TClientSocket::ConnectWithin(const void* addr, unsigned addrLen, int64_t deadline) {
  // A non-blocking connect is the only way to bound its wait; the socket is blocking again after it.
  const int flags = fcntl(fd_, F_GETFL);
  fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  int err = 0;
  if (connect(fd_, static_cast<const sockaddr*>(addr), addrLen) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      int wait = 0;
      if (deadline > 0) {
        const int64_t left = deadline - MonotonicMs();
        wait = left > 0 ? static_cast<int>(left) : 1;
      }
      const int ready = PollFor(fd_, POLLOUT, wait);
      if (ready == 0) {
        err = ETIMEDOUT;
      } else if (ready < 0) {
        err = errno;
      } else {
        socklen_t len = sizeof err;
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
    }
  }
  if (err != 0) return err;
  fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
  if (timeoutMs_ > 0) {
    // A server that stops reading must not hold a send forever either, nor one that stops in the
    // middle of an encrypted record a read.
    timeval tv{timeoutMs_ / 1000, (timeoutMs_ % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  connected_ = true;
  return 0;
}

void TClientSocket::StartTls(const TTlsOptions& options) {
  std::lock_guard g(lock_);
  if (!connected_) throw ESocketError("Not connected. Attempting to send on socket.");
  try {
    tls_ = std::make_unique<TTlsSession>(fd_, options, timeoutMs_);
  } catch (const ESocketError&) {
    // The reason is the caller's to report: it knows the dialogue the handshake belonged to.
    Close();
    throw;
  }
}

bool TClientSocket::Encrypted() const {
  std::lock_guard g(lock_);
  return tls_ != nullptr;
}

void TClientSocket::Close() {
  std::lock_guard g(lock_);
  if (fd_ < 0 || closing_) return;
  // A disconnect handler that closes again must find nothing left to do.
  closing_ = true;
  try {
    if (OnDisconnect) OnDisconnect(*this);
  } catch (...) {
    ReleaseHandle();
    throw;
  }
  ReleaseHandle();
}

void TClientSocket::ReleaseHandle() {
  pending_.clear();
  tls_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  connected_ = false;
  closing_ = false;
}

void TClientSocket::Flush() {
  std::lock_guard g(lock_);
  size_t done = 0;
  while (connected_ && done < pending_.size()) {
    const long n = tls_ ? tls_->Write(pending_.data() + done, pending_.size() - done, timeoutMs_)
                        : send(fd_, pending_.data() + done, pending_.size() - done, MSG_NOSIGNAL);
    if (n == 0) errno = EPIPE;
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      // With a send time-out set, "would block" means the network took nothing for that long.
      const int err = (errno == EAGAIN || errno == EWOULDBLOCK) ? ETIMEDOUT : errno;
      pending_.clear();
      ReportError(err, SysErrorMessage(err), "send");
      return;
    }
    done += static_cast<size_t>(n);
  }
  pending_.clear();
}

int TClientSocket::SendText(const std::string& text) {
  std::lock_guard g(lock_);
  if (!connected_) return 0;
  pending_ += text;
  if (pending_.size() >= kGatherBytes) Flush();
  return connected_ ? static_cast<int>(text.size()) : 0;
}

int TClientSocket::ReceiveBuf(char* buf, int count, int waitMs) {
  std::lock_guard g(lock_);
  if (!connected_ || count <= 0) return 0;
  if (!pending_.empty()) {
    Flush();
    if (!connected_) return 0;
  }
  // Whoever waits for an answer has said everything: push out what Nagle still holds back, or a
  // short last write (the end of a mail) can sit for the peer's delayed acknowledgement.
  int on = 1, off = 0;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
  const int wait = waitMs < 0 ? timeoutMs_ : waitMs;
  if (tls_) {
    // The session waits itself, for a whole record, until the same deadline.
    for (;;) {
      const long n = tls_->Read(buf, static_cast<size_t>(count), wait > 0 ? MonotonicMs() + wait : 0);
      if (n >= 0) return static_cast<int>(n);
      if (errno == EINTR) continue;
      const int err = errno;
      ReportError(err, SysErrorMessage(err), "recv");
      return 0;
    }
  }
  const int ready = PollFor(fd_, POLLIN, wait);
  if (ready <= 0) {
    const int err = ready == 0 ? ETIMEDOUT : errno;
    ReportError(err, SysErrorMessage(err), "recv");
    return 0;
  }
  for (;;) {
    const ssize_t n = recv(fd_, buf, static_cast<size_t>(count), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    const int err = (errno == EAGAIN || errno == EWOULDBLOCK) ? ETIMEDOUT : errno;
    ReportError(err, SysErrorMessage(err), "recv");
    return 0;
  }
}

std::string TClientSocket::LocalHost() const {
  std::lock_guard g(lock_);
  if (fd_ < 0) return {};
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string TClientSocket::LocalAddress() const {
  std::lock_guard g(lock_);
  if (fd_ < 0) return {};
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return AddressText(sa);
}

std::string TClientSocket::RemoteAddress() const {
  std::lock_guard g(lock_);
  if (!connected_) return {};
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return AddressText(sa);
}

}  // namespace tavik
