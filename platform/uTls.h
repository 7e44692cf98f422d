#pragma once
// TLS over a connected socket, for the client socket to put under its reads and writes. Whoever
// talks through the socket never learns whether the bytes are encrypted.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tavik {

struct TTlsOptions {
  // The server's name as the user gave it: sent as SNI and checked against the certificate (an
  // address literal is checked against the certificate's addresses).
  std::string host;
  // A PEM file of certificates to trust besides the system's; empty: the system's alone.
  std::string caFile;
  // SHA-256 of the server's certificate in hex (colons and case ignored). When set, exactly that
  // certificate is accepted whatever its issuer and names, and any other is refused.
  std::string fingerprint;
};

// The fingerprint as compared: lower-case hex digits only. Empty when text holds anything else
// than hex digits, colons and blanks, or not 64 digits.
std::string NormalizedFingerprint(const std::string& text);

// Why the CA file cannot serve (missing, not a regular file, over 1 MiB, no PEM certificate in
// it), in a line naming the file; "" when it can or none is set. Read without blocking.
std::string CaFileProblem(const std::string& caFile);

// Waits until fd has one of events or the monotonic deadline (ms, 0: without limit) has passed,
// across interruptions. Returns the revents, 0 when the time ran out, -1 with errno on failure.
int PollUntil(int fd, short events, int64_t deadline);

class TTlsSession {
 public:
  // Performs the handshake on fd (connected) and checks the certificate, all of it within
  // timeoutMs (0 or less: without limit). The descriptor is non-blocking from here on: every wait
  // is bounded here, not by the socket's per-read time-outs, which a server sending a byte now
  // and then would renew for ever. Throws ESocketError with a reason an administrator can act on.
  TTlsSession(int fd, const TTlsOptions& options, int timeoutMs);
  ~TTlsSession();  // sends the closing alert without waiting for the peer's
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // What Write and Read met: bytes moved (> 0), 0 for a closed connection, -1 with errno set
  // (ETIMEDOUT when the wait ran out). A write waits at most stallMs (0 or less: without limit)
  // for room each time the network takes nothing, so a slow link still gets the whole of it; a
  // read waits until the monotonic deadline (ms, 0: without limit) for a whole record.
  long Write(const char* data, size_t count, int stallMs);
  long Read(char* buffer, size_t count, int64_t deadline);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

}  // namespace tavik
