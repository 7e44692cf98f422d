#include "platform/uPeerCertificate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/uErrors.h"

namespace tavik {

namespace {

class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A handshake written to a server that hung up must end in an error, not in SIGPIPE.
class TQuietPipe {
 public:
  TQuietPipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &saved_);
  }
  ~TQuietPipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec none{0, 0};
    while (sigtimedwait(&pipe, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  TQuietPipe(const TQuietPipe&) = delete;
  TQuietPipe& operator=(const TQuietPipe&) = delete;

 private:
  sigset_t saved_;
};

[[noreturn]] void Fail(const std::string& what) {
  throw ESocketError(what);
}

int ConnectTo(const std::string& host, int port, int timeoutMs) {
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0)
    Fail("Cannot find host " + host + ": " + gai_strerror(rc));
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
  int lastError = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      socklen_t len = sizeof lastError;
      if (::poll(&p, 1, timeoutMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &lastError, &len) == 0 &&
          lastError == 0) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        return fd;
      }
      if (lastError == 0) lastError = ETIMEDOUT;
    } else {
      lastError = errno;
    }
    ::close(fd);
  }
  Fail("Cannot connect to " + host + " on port " + std::to_string(port) + ": " +
       std::strerror(lastError ? lastError : ECONNREFUSED));
}

// One whole SMTP reply (its last line is "ddd " or "ddd"); its code.
std::string ReadReply(int fd) {
  std::string text;
  char c = 0;
  while (text.size() < 64 * 1024) {
    const ssize_t n = ::recv(fd, &c, 1, 0);
    if (n <= 0) Fail("The server ended the conversation before STARTTLS");
    text += c;
    if (c != '\n') continue;
    const size_t start = text.rfind('\n', text.size() - 2);
    const std::string line = text.substr(start == std::string::npos ? 0 : start + 1);
    if (line.size() >= 4 && line[3] != '-') return line.substr(0, 3);
  }
  Fail("The server's reply is too long");
}

void Say(int fd, const std::string& line) {
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
    Fail(std::string("Cannot write to the server: ") + std::strerror(errno));
}

}  // namespace

TPeerCertificate FetchPeerCertificate(const std::string& host, int port, bool startTls, int timeoutMs) {
  TQuietPipe quiet;
  TFd fd(ConnectTo(host, port, timeoutMs));
  if (startTls) {
    if (ReadReply(fd.get()) != "220") Fail("The server did not greet with 220");
    Say(fd.get(), "EHLO localhost\r\n");
    if (ReadReply(fd.get()) != "250") Fail("The server refused EHLO");
    Say(fd.get(), "STARTTLS\r\n");
    if (ReadReply(fd.get()) != "220") Fail("The server refused STARTTLS");
  }
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
  if (!ctx) Fail("TLS is not available");
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), &SSL_free);
  in6_addr probe{};
  const bool literal = ::inet_pton(AF_INET, host.c_str(), &probe) == 1 || host.find(':') != std::string::npos;
  if (!literal) SSL_set_tlsext_host_name(ssl.get(), host.c_str());
  SSL_set_fd(ssl.get(), fd.get());
  if (SSL_connect(ssl.get()) != 1) Fail("The TLS handshake with " + host + " failed");
  std::unique_ptr<X509, decltype(&X509_free)> cert(SSL_get1_peer_certificate(ssl.get()), &X509_free);
  if (!cert) Fail("The server showed no certificate");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(cert.get(), EVP_sha256(), md, &n) != 1) Fail("The certificate cannot be digested");
  TPeerCertificate result;
  static const char hex[] = "0123456789ABCDEF";
  for (unsigned int i = 0; i < n; ++i) {
    if (i) result.fingerprint += ':';
    result.fingerprint += hex[md[i] >> 4];
    result.fingerprint += hex[md[i] & 15];
  }
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert.get()), 0,
                     XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* text = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &text);
  result.subject.assign(text, static_cast<size_t>(len));
  SSL_shutdown(ssl.get());
  return result;
}

}  // namespace tavik
