#pragma once
// The certificate a mail server shows, fetched for a person to look at before trusting it.
#include <string>

namespace tavik {

struct TPeerCertificate {
  std::string fingerprint;  // SHA-256, upper-case hex pairs joined by colons, as openssl prints it
  std::string subject;      // one line, "CN = mail.example.com, O = ..."
};

// Connects to host and port (for STARTTLS speaking SMTP up to it), completes a TLS handshake that
// accepts whatever certificate comes, sends nothing over it and hangs up. timeoutMs bounds the
// connect and each wait. Throws ESocketError with the reason when no certificate could be had.
TPeerCertificate FetchPeerCertificate(const std::string& host, int port, bool startTls, int timeoutMs);

}  // namespace tavik
