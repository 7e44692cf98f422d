// The client socket against a peer on 127.0.0.1, on either system's sockets.
#include "platform/uSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/uErrors.h"
#include "platform/uSystem.h"
#include "tests/support/Loopback.h"

namespace tavik {
namespace {

using test::TLoopbackPeer;

std::string Receive(TClientSocket& s, size_t want) {
  std::string got;
  char buf[256];
  while (got.size() < want) {
    const int n = s.ReceiveBuf(buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(Socket, TalksWithAPeerByAddressAndByName) {
  for (const bool byName : {false, true}) {
    TLoopbackPeer peer("220 ready\r\n");
    TClientSocket s;
    int disconnects = 0;
    s.OnDisconnect = [&](TClientSocket&) { ++disconnects; };
    byName ? s.SetHost("127.0.0.1") : s.SetAddress("127.0.0.1");
    s.SetPort(peer.Port());
    s.SetTimeoutMs(5000);
    s.Open();
    ASSERT_TRUE(s.Connected());
    EXPECT_THROW(s.SetPort(1), ESocketError);
    EXPECT_EQ(Receive(s, 11), "220 ready\r\n");
    // Queued text goes out before the answer is awaited.
    s.SendText("EHLO client\r\n");
    EXPECT_EQ(Receive(s, 13), "EHLO client\r\n");
    EXPECT_EQ(s.LocalAddress(), "127.0.0.1");
    EXPECT_EQ(s.RemoteAddress(), "127.0.0.1");
    EXPECT_FALSE(s.LocalHost().empty());
    s.Close();
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(disconnects, 1);
  }
}

TEST(Socket, ARefusedConnectIsASocketErrorWithTheSystemsWords) {
  TClientSocket s;
  int reported = 0;
  s.OnError = [&](TClientSocket&, int& code) { reported = code; };
  s.SetAddress("127.0.0.1");
  s.SetPort(test::ClosedLoopbackPort());
  s.SetTimeoutMs(5000);
  try {
    s.Open();
    FAIL() << "connected to a closed port";
  } catch (const ESocketError& e) {
    EXPECT_NE(std::string(e.what()).find("on API 'connect'"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(s.Connected());
  EXPECT_NE(reported, 0);
  EXPECT_EQ(s.LastErrorCode(), reported);
  EXPECT_EQ(s.LastErrorText(), SysErrorMessage(reported));
}

// A peer that accepts and then says nothing must not hold the client beyond its time-out.
TEST(Socket, ASilentPeerRunsOutTheWait) {
  TLoopbackPeer peer("");
  TClientSocket s;
  s.SetAddress("127.0.0.1");
  s.SetPort(peer.Port());
  s.SetTimeoutMs(300);
  s.Open();
  char buf[16];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(s.ReceiveBuf(buf, sizeof buf), ESocketError);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_FALSE(s.Connected());
  EXPECT_FALSE(s.LastErrorText().empty());
}

// Until the Windows build has TLS, asking for it must fail before a byte goes out in the clear.
TEST(Socket, TlsRefusedPlainlyOnWindows) {
  if (PathDelim != '\\') GTEST_SKIP() << "TLS is tested against real servers by the mail tests";
  TLoopbackPeer peer("220 ready\r\n");
  TClientSocket s;
  s.SetAddress("127.0.0.1");
  s.SetPort(peer.Port());
  s.SetTimeoutMs(5000);
  s.Open();
  EXPECT_THROW(s.StartTls(TTlsOptions{"localhost", "", ""}), ESocketError);
  EXPECT_FALSE(s.Connected());
  EXPECT_FALSE(s.Encrypted());
}

}  // namespace
}  // namespace tavik
