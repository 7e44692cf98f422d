#pragma once
// TLS over a connected socket, for the client socket to put under its reads and writes. Whoever
// talks through the socket never learns whether the bytes are encrypted.
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

class TTlsSession {
 public:
  // Performs the handshake on fd (connected, blocking, its time-outs set by the caller) and checks
  // the certificate. Throws ESocketError with a reason an administrator can act on.
  TTlsSession(int fd, const TTlsOptions& options);
  ~TTlsSession();  // sends the closing alert without waiting for the peer's
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // What Write and Read met: bytes moved (> 0), 0 for a closed connection, -1 with errno set.
  long Write(const char* data, size_t count);
  long Read(char* buffer, size_t count);
  // Decrypted bytes waiting, so a read need not wait for the network.
  bool Pending() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

}  // namespace tavik
