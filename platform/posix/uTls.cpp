#include "platform/uTls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>

#include "platform/uClock.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {

// The library's own words for its last failure, or fallback when it has none.
std::string OpenSslReason(const std::string& fallback) {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return fallback;
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  // "error:0A000086:SSL routines::certificate verify failed" reads better from its last part.
  std::string s = text;
  const size_t colon = s.rfind(':');
  return colon == std::string::npos ? s : s.substr(colon + 1);
}

bool IsAddressLiteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string Hex(const unsigned char* bytes, unsigned n, bool colons) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string r;
  for (unsigned i = 0; i < n; ++i) {
    if (colons && i) r += ':';
    r += kDigits[bytes[i] >> 4];
    r += kDigits[bytes[i] & 15];
  }
  return r;
}

// Waits for what the library asked for (sslError: SSL_ERROR_WANT_READ or _WRITE) until deadline.
// 1 when it may go on, 0 when the time is up, -1 with errno on failure. The deadline is looked at
// before the wait too: a peer that always has a byte ready must not stretch the wait beyond it.
int AwaitSocket(int fd, int sslError, int64_t deadline) {
  if (deadline > 0 && MonotonicMs() >= deadline) return 0;
  const int ready = PollUntil(fd, sslError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
  return ready > 0 ? 1 : ready;
}

bool Wants(int sslError) {
  return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

// OpenSSL writes to the socket itself, without MSG_NOSIGNAL: a peer that went away would end the
// program with SIGPIPE. The signal is held back for the call and a pending one taken off.
class TNoSigPipe {
 public:
  TNoSigPipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    hadPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~TNoSigPipe() {
    // The call's errno is what the caller reads; the clean-up here must not replace it.
    const int callErrno = errno;
    if (!hadPending_) {
      const timespec none{0, 0};
      while (sigtimedwait(&pipe_, nullptr, &none) > 0) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    errno = callErrno;
  }
  TNoSigPipe(const TNoSigPipe&) = delete;
  TNoSigPipe& operator=(const TNoSigPipe&) = delete;

 private:
  sigset_t pipe_, old_;
  bool hadPending_ = false;
};

constexpr size_t kCaFileLimit = 1 << 20;

[[noreturn]] void CaFileFailure(const std::string& path, const std::string& reason) {
  throw ESocketError("TLS CA file " + path + " cannot be used: " + reason);
}

// The file is read here, not by the library: a FIFO or a device named by mistake must not hold
// a scheduled run (and its lock) for ever, and a huge file must not be read whole.
std::string ReadCaFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) CaFileFailure(path, SysErrorMessage(errno));
  struct TCloser {
    int fd;
    ~TCloser() { close(fd); }
  } closer{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0) CaFileFailure(path, SysErrorMessage(errno));
  if (!S_ISREG(st.st_mode)) CaFileFailure(path, "not a regular file");
  if (static_cast<unsigned long long>(st.st_size) > kCaFileLimit) CaFileFailure(path, "larger than 1 MiB");
  std::string bytes;
  char buffer[16384];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) CaFileFailure(path, SysErrorMessage(errno));
    if (got == 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
    // The file may have grown since it was measured.
    if (bytes.size() > kCaFileLimit) CaFileFailure(path, "larger than 1 MiB");
  }
  return bytes;
}

void AddCaFile(X509_STORE* store, const std::string& path) {
  const std::string bytes = ReadCaFile(path);
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())),
                                                &BIO_free);
  if (!bio) CaFileFailure(path, OpenSslReason("out of memory"));
  int added = 0;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    const int ok = X509_STORE_add_cert(store, cert);
    X509_free(cert);
    if (ok != 1) CaFileFailure(path, OpenSslReason("a certificate cannot be added"));
    ++added;
  }
  // The loop ends at the end of the text, which the library records as an error of its own.
  ERR_clear_error();
  if (added == 0) CaFileFailure(path, "holds no PEM certificate");
}

// The system's trusted certificates and the CA file's, read once per process and file: parsing
// the system's whole bundle for every mail would cost more than the mail.
X509_STORE* TrustStore(const std::string& caFile) {
  using TStore = std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)>;
  // Built after the library's own start-up, so freed before its clean-up at exit.
  static std::mutex lock;
  static std::map<std::string, TStore> stores;
  std::lock_guard g(lock);
  auto found = stores.find(caFile);
  if (found == stores.end()) {
    TStore made(X509_STORE_new(), &X509_STORE_free);
    if (!made) throw ESocketError("TLS cannot start: " + OpenSslReason("out of memory"));
    X509_STORE_set_default_paths(made.get());
    if (!caFile.empty()) AddCaFile(made.get(), caFile);
    found = stores.emplace(caFile, std::move(made)).first;
  }
  X509_STORE_up_ref(found->second.get());
  return found->second.get();
}

}  // namespace

int PollUntil(int fd, short events, int64_t deadline) {
  for (;;) {
    int wait = -1;
    if (deadline > 0) {
      const int64_t left = deadline - MonotonicMs();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, wait);
    if (rc > 0) return p.revents ? p.revents : events;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

std::string CaFileProblem(const std::string& caFile) {
  if (caFile.empty()) return {};
  try {
    X509_STORE_free(TrustStore(caFile));
  } catch (const ESocketError& e) {
    return e.what();
  }
  return {};
}

struct TTlsSession::TImpl {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  ~TImpl() {
    if (ssl) {
      TNoSigPipe guard;
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    if (ctx) SSL_CTX_free(ctx);
  }
};

TTlsSession::TTlsSession(int fd, const TTlsOptions& o, int timeoutMs) : impl_(std::make_unique<TImpl>()) {
  ERR_clear_error();
  const int64_t deadline = timeoutMs > 0 ? MonotonicMs() + timeoutMs : 0;
  const std::string expected = NormalizedFingerprint(o.fingerprint);
  if (!o.fingerprint.empty() && expected.empty())
    throw ESocketError("TLS fingerprint \"" + o.fingerprint +
                       "\" is not a SHA-256 fingerprint (64 hex digits)");
  impl_->ctx = SSL_CTX_new(TLS_client_method());
  if (!impl_->ctx) throw ESocketError("TLS cannot start: " + OpenSslReason("out of memory"));
  SSL_CTX_set_min_proto_version(impl_->ctx, TLS1_2_VERSION);
  // A server that closes without its closing alert has still closed; the reply parser decides.
  SSL_CTX_set_options(impl_->ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (expected.empty()) {
    SSL_CTX_set_verify(impl_->ctx, SSL_VERIFY_PEER, nullptr);
    X509_STORE* store = TrustStore(o.caFile);
    SSL_CTX_set1_cert_store(impl_->ctx, store);
    X509_STORE_free(store);
  } else {
    // The fingerprint decides alone, after the handshake.
    SSL_CTX_set_verify(impl_->ctx, SSL_VERIFY_NONE, nullptr);
  }
  impl_->ssl = SSL_new(impl_->ctx);
  if (!impl_->ssl || SSL_set_fd(impl_->ssl, fd) != 1)
    throw ESocketError("TLS cannot start: " + OpenSslReason("out of memory"));
  const bool literal = IsAddressLiteral(o.host);
  if (!literal) SSL_set_tlsext_host_name(impl_->ssl, o.host.c_str());
  if (expected.empty()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(impl_->ssl);
    if (literal)
      X509_VERIFY_PARAM_set1_ip_asc(param, o.host.c_str());
    else
      SSL_set1_host(impl_->ssl, o.host.c_str());
  }

  // Every wait of the handshake is bounded here: the whole of it gets the time-out once.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  int rc = 0;
  int err = 0;
  int sslError = SSL_ERROR_NONE;
  bool late = false;
  for (;;) {
    {
      TNoSigPipe guard;
      errno = 0;
      rc = SSL_connect(impl_->ssl);
      err = errno;
    }
    if (rc == 1) break;
    sslError = SSL_get_error(impl_->ssl, rc);
    if (!Wants(sslError)) break;
    const int ready = AwaitSocket(fd, sslError, deadline);
    if (ready > 0) continue;
    late = ready == 0;
    err = late ? 0 : errno;
    sslError = SSL_ERROR_SYSCALL;
    break;
  }
  if (rc != 1) {
    const long verify = SSL_get_verify_result(impl_->ssl);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
      throw ESocketError("TLS certificate of the mail server is not for " + o.host);
    if (verify != X509_V_OK)
      throw ESocketError("TLS certificate for " + o.host +
                         " not trusted: " + X509_verify_cert_error_string(verify));
    std::string reason;
    if (late) {
      ERR_clear_error();
      reason = "no answer in time";
    } else if (sslError == SSL_ERROR_SYSCALL && err == 0) {
      reason = OpenSslReason("the server closed the connection");
    } else if (sslError == SSL_ERROR_SYSCALL) {
      reason = OpenSslReason(SysErrorMessage(err));
    } else {
      reason = OpenSslReason("protocol error");
    }
    throw ESocketError("TLS handshake with " + o.host + " failed: " + reason);
  }
  if (!expected.empty()) {
    X509* cert = SSL_get1_peer_certificate(impl_->ssl);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    const bool digested = cert && X509_digest(cert, EVP_sha256(), md, &n) == 1;
    X509_free(cert);
    if (!digested) throw ESocketError("TLS server " + o.host + " sent no certificate");
    std::string got = Hex(md, n, false);
    for (char& c : got) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (got != expected)
      throw ESocketError("TLS certificate for " + o.host + " not trusted: its fingerprint " +
                         Hex(md, n, true) + " is not the one configured");
  }
}

TTlsSession::~TTlsSession() = default;

long TTlsSession::Write(const char* data, size_t count, int stallMs) {
  for (;;) {
    size_t written = 0;
    int rc, err;
    {
      TNoSigPipe guard;
      errno = 0;
      rc = SSL_write_ex(impl_->ssl, data, count, &written);
      err = errno;
    }
    if (rc == 1) return static_cast<long>(written);
    const int e = SSL_get_error(impl_->ssl, rc);
    ERR_clear_error();
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    if (Wants(e)) {
      // Each wait for room is a fresh one: what counts is that the network takes something.
      const int ready = AwaitSocket(SSL_get_fd(impl_->ssl), e, stallMs > 0 ? MonotonicMs() + stallMs : 0);
      if (ready > 0) continue;
      if (ready == 0) errno = ETIMEDOUT;
      return -1;
    }
    errno = err != 0 ? err : EPIPE;
    return -1;
  }
}

long TTlsSession::Read(char* buffer, size_t count, int64_t deadline) {
  for (;;) {
    size_t got = 0;
    int rc, err;
    {
      // A read writes too (an alert, the answer to a key update) to a peer that may be gone.
      TNoSigPipe guard;
      errno = 0;
      rc = SSL_read_ex(impl_->ssl, buffer, count, &got);
      err = errno;
    }
    if (rc == 1) return static_cast<long>(got);
    const int e = SSL_get_error(impl_->ssl, rc);
    ERR_clear_error();
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && err == 0)) return 0;
    if (Wants(e)) {
      // A record arrives whole or not at all: a server sending it a byte at a time still has
      // only until the deadline.
      const int ready = AwaitSocket(SSL_get_fd(impl_->ssl), e, deadline);
      if (ready > 0) continue;
      if (ready == 0) errno = ETIMEDOUT;
      return -1;
    }
    errno = err != 0 ? err : EIO;
    return -1;
  }
}

}  // namespace tavik
