#include "platform/uPeerCertificate.h"

#include "platform/uErrors.h"

namespace tavik {

// As the session itself, the certificate fetch waits for TLS in the Windows build.
TPeerCertificate FetchPeerCertificate(const std::string& host, int port, bool, int) {
  throw ESocketError("Cannot fetch the certificate of " + host + ":" + std::to_string(port) +
                     ": TLS is not available in this build for Windows yet");
}

}  // namespace tavik
