#pragma once
// A peer on 127.0.0.1 for the socket's own tests, on either system: it accepts one client, says
// its greeting, then echoes what it receives until the client hangs up. A silent peer accepts and
// says nothing.
#include <string>
#include <thread>

namespace tavik::test {

class TLoopbackPeer {
 public:
  explicit TLoopbackPeer(std::string greeting);
  ~TLoopbackPeer();
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;
  int Port() const { return port_; }

 private:
  void Serve();
  std::string greeting_;
  long long listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// A port on 127.0.0.1 that nothing listens on (it was free a moment ago).
int ClosedLoopbackPort();

}  // namespace tavik::test
