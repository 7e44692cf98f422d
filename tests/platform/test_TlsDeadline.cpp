// A TLS peer whose next byte is always there by the time the client waits for it: every wait
// returns at once, so only a look at the deadline before each wait ends the handshake. This
// program stands in for the kernel's wait call on the client's socket, and has the peer send one
// byte more of a record that never completes in time just before each wait.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <string>

#include "platform/uErrors.h"
#include "platform/uTls.h"

namespace {
std::atomic<int> g_client{-1};  // the socket whose waits the peer feeds; -1: none
int g_peer = -1;
std::atomic<long> g_fed{0};

// A handshake record as long as a record may be, opening with a server's greeting: the client
// reads all of it before it can judge a byte of it.
unsigned char PeerByte(long at) {
  static const unsigned char head[] = {0x16, 0x03, 0x03, 0x40, 0x00, 0x02, 0x00, 0x00, 0x46, 0x03, 0x03};
  return at < static_cast<long>(sizeof head) ? head[at] : 0;
}
}  // namespace

// The C library's declaration calls the array write-only; the kernel, and this, read it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
extern "C" int poll(struct pollfd* fds, nfds_t n, int timeout) {
  if (n == 1 && fds[0].fd == g_client) {
    const unsigned char b = PeerByte(g_fed++);
    (void)!::write(g_peer, &b, 1);
    ::usleep(100);
  }
  timespec wait{timeout / 1000, (timeout % 1000) * 1000000L};
  return ::ppoll(fds, n, timeout < 0 ? nullptr : &wait, nullptr);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace tavik {
namespace {

TEST(TlsDeadline, APeerWithAByteAlwaysPendingStillGetsOnlyTheTimeOut) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  g_peer = pair[1];
  g_fed = 0;
  g_client = pair[0];
  std::string error = "the handshake completed";
  try {
    TTlsSession session(pair[0], TTlsOptions{"127.0.0.1", "", ""}, 200);
  } catch (const ESocketError& e) {
    error = e.what();
  }
  g_client = -1;
  ::close(pair[0]);
  ::close(pair[1]);
  EXPECT_EQ(error, "TLS handshake with 127.0.0.1 failed: no answer in time");
  // Well short of the record: the time ran out first.
  EXPECT_GT(g_fed, 5);
  EXPECT_LT(g_fed, 16384 + 5);
}

}  // namespace
}  // namespace tavik
