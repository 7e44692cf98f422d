#include "platform/uSocket.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/uClock.h"
#include "platform/uErrors.h"
#include "platform/uOs.h"

namespace tavik {

namespace {

// "[::1]" names the address ::1, as it is written in a URL.
std::string WithoutBrackets(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

}  // namespace

std::string SocketErrorText(const std::string& message, int code, const char* api) {
  return "Socket error: " + message + " (" + std::to_string(code) + "), on API '" + api + "'";
}

TClientSocket::TClientSocket() {
  os::SocketsStart();
}

TClientSocket::~TClientSocket() {
  // The owner is going away: nobody is left to hear about the close.
  OnDisconnect = nullptr;
  OnError = nullptr;
  Close();
  os::SocketsStop();
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
  std::vector<os::TSockAddr> peers;
  if (!address_.empty()) {
    os::TSockAddr peer;
    if (!os::ParseIPv4(address_, port_, peer)) {
      ReportError(os::InvalidCode(), SysErrorMessage(os::InvalidCode()), "inet_addr");
      return;
    }
    peers.push_back(peer);
  } else if (!host_.empty()) {
    std::string why;
    const int rc = os::Resolve(WithoutBrackets(host_), port_, peers, why);
    if (rc != 0) {
      ReportError(rc, why, "getaddrinfo");
      return;
    }
  } else {
    throw ESocketError("No address specified");
  }
  int err = 0;
  try {
    for (size_t i = 0; i < peers.size(); ++i) {
      const os::TSockAddr& peer = peers[i];
      const bool last = i + 1 == peers.size();
      fd_ = os::OpenStreamSocket(peer.family);
      if (fd_ < 0) {
        // A family this host cannot speak leaves the other family's addresses to try.
        if (last) throw ESocketError("Can't create new socket");
        continue;
      }
      if (OnConnecting) OnConnecting(*this);
      // An address whose packets vanish (an IPv6 route that goes nowhere) must not use up the
      // whole time-out: each address gets an equal share of what is left, the last all of it.
      int64_t until = deadline;
      if (deadline > 0 && !last) {
        const int64_t now = MonotonicMs();
        until = now + std::max<int64_t>(1, (deadline - now) / static_cast<int64_t>(peers.size() - i));
      }
      err = os::ConnectWithin(fd_, peer, until, timeoutMs_);
      connected_ = err == 0;
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
  if (fd_ >= 0) os::CloseSocket(fd_);
  fd_ = -1;
  connected_ = false;
  closing_ = false;
}

void TClientSocket::Flush() {
  std::lock_guard g(lock_);
  size_t done = 0;
  while (connected_ && done < pending_.size()) {
    int err = 0;
    long n = 0;
    if (tls_) {
      n = tls_->Write(pending_.data() + done, pending_.size() - done, timeoutMs_);
      err = n == 0 ? os::ClosedCode() : errno;
    } else {
      n = os::SendSome(fd_, pending_.data() + done, pending_.size() - done, err);
      if (n == 0) err = os::ClosedCode();
    }
    if (n <= 0) {
      if (n < 0 && os::Interrupted(err)) continue;
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
  os::PushOut(fd_);
  const int wait = waitMs < 0 ? timeoutMs_ : waitMs;
  if (tls_) {
    // The session waits itself, for a whole record, until the same deadline.
    for (;;) {
      const long n = tls_->Read(buf, static_cast<size_t>(count), wait > 0 ? MonotonicMs() + wait : 0);
      if (n >= 0) return static_cast<int>(n);
      const int err = errno;
      if (os::Interrupted(err)) continue;
      ReportError(err, SysErrorMessage(err), "recv");
      return 0;
    }
  }
  int err = 0;
  const int ready = os::WaitReadable(fd_, wait, err);
  if (ready <= 0) {
    if (ready == 0) err = os::TimedOutCode();
    ReportError(err, SysErrorMessage(err), "recv");
    return 0;
  }
  for (;;) {
    const long n = os::ReceiveSome(fd_, buf, static_cast<size_t>(count), err);
    if (n >= 0) return static_cast<int>(n);
    if (os::Interrupted(err)) continue;
    ReportError(err, SysErrorMessage(err), "recv");
    return 0;
  }
}

std::string TClientSocket::LocalHost() const {
  std::lock_guard g(lock_);
  if (fd_ < 0) return {};
  return os::LocalHostName();
}

std::string TClientSocket::LocalAddress() const {
  std::lock_guard g(lock_);
  if (fd_ < 0) return {};
  return os::LocalAddressOf(fd_);
}

std::string TClientSocket::RemoteAddress() const {
  std::lock_guard g(lock_);
  if (!connected_) return {};
  return os::PeerAddressOf(fd_);
}

}  // namespace tavik
