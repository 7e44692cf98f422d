// Mail over an encrypted connection, against aiosmtpd with certificates made for the test:
// STARTTLS and SSL/TLS, IPv4 and IPv6, trusted CA files, names and fingerprints, and the servers
// that must be refused before anything secret crosses the network.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "platform/uIniFile.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::TAioSmtpServer;
using test::TScriptedSmtpServer;
using test::TSmtpReply;
using test::TTestCerts;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const TTestCerts& Certs() {
  static const TTestCerts certs;
  return certs;
}

// A server that accepts one plain mail, and settings saved to reach it.
TScriptedSmtpServer AcceptingServer() {
  return TScriptedSmtpServer({"220 ready", "250 hello", "250 sender ok", "250 recipient ok", "354 go on",
                              "250 queued", "250 reset", "221 bye"});
}

TNotifier SettingsFor(const TScriptedSmtpServer& server) {
  TNotifier saved;
  saved.SMTPServer = "127.0.0.1";
  saved.SMTPPort = server.Port();
  saved.SMTPFrom = "backup@example.org";
  return saved;
}

template <class F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

enum class TCert { Server, OtherName, SelfSigned };
enum class TTrust { System, CaFile, RightFingerprint, WrongFingerprint };

struct TSecureCase {
  const char* name;
  bool implicit;  // the server's TLS starts with the first byte; else STARTTLS, required
  TCert cert;
  const char* listenOn;  // the server's loopback address
  int security;          // the client's "SMTPSecurity"
  const char* host;      // the client's "SMTPServer"
  TTrust trust;
  bool logon;           // the server insists on AUTH, offered over TLS only
  const char* refusal;  // nullptr: delivered; else what LastError says after the connect
};

void PrintTo(const TSecureCase& c, std::ostream* os) {
  *os << c.name;
}

class SecureTransport : public ::testing::TestWithParam<TSecureCase> {};

TEST_P(SecureTransport, DeliversOnlyOverATrustedConnection) {
  const TSecureCase& c = GetParam();
  const TTestCerts& certs = Certs();
  TAioSmtpServer::TTls tls;
  tls.mode = c.implicit ? TAioSmtpServer::TTls::Implicit : TAioSmtpServer::TTls::StartTls;
  tls.cert = c.cert == TCert::Server      ? certs.serverPem
             : c.cert == TCert::OtherName ? certs.otherPem
                                          : certs.selfPem;
  tls.key = c.cert == TCert::Server      ? certs.serverKey
            : c.cert == TCert::OtherName ? certs.otherKey
                                         : certs.selfKey;
  std::optional<TAioSmtpServer::TAccount> account;
  if (c.logon) account = TAioSmtpServer::TAccount{"user", "secret"};
  TAioSmtpServer server(account, tls, c.listenOn);
  server.Start();

  test::TTempDir dir;
  std::string log;
  for (int i = 0; i < 3000; ++i)
    log += "[07/12/26 09:30:00.000]\t0\tline " + std::to_string(i) + " B\xC3\xBCro\r\n";
  test::WriteFile(dir / "run.log", log);

  TNotifier n;
  n.SMTPServer = c.host;
  n.SMTPPort = server.Port();
  n.SMTPFrom = "backup@example.org";
  n.SendTo = "ops@example.org";
  n.Subject = "[S01:Office] Backup Log";
  n.Body = "Please see attached backup log.";
  n.SMTPSecurity = c.security;
  n.SMTPRequiresLogon = c.logon;
  n.SMTPLogon = "user";
  n.SMTPPwd = "secret";
  if (c.trust == TTrust::CaFile) n.SMTPCAFile = certs.caPem;
  if (c.trust == TTrust::RightFingerprint) {
    // Colons and case are the user's to choose.
    for (char ch : certs.selfFingerprint)
      if (ch != ':') n.SMTPFingerprint += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  }
  if (c.trust == TTrust::WrongFingerprint)
    n.SMTPFingerprint = std::string(31, '0') + ":" + std::string(33, 'a');

  bool sent = false;
  const std::string error = ErrorOf([&] { sent = n.SendMail(dir / "run.log"); });
  const auto mails = server.Messages();
  if (!c.refusal) {
    EXPECT_EQ(error, "no error");
    EXPECT_TRUE(sent) << n.LastError;
    ASSERT_EQ(mails.size(), 1u);
    const test::TParsedMail parsed = test::ParseMailWithPython(mails[0].raw);
    EXPECT_EQ(parsed.defects, 0) << parsed.defectText;
    ASSERT_EQ(parsed.parts.size(), 3u);
    EXPECT_EQ(parsed.parts[2].fileName, "run.log");
    EXPECT_TRUE(parsed.parts[2].payload == log) << "the log arrives byte for byte";
    return;
  }
  EXPECT_FALSE(sent);
  EXPECT_NE(error, "no error");
  EXPECT_EQ(mails.size(), 0u);
  EXPECT_THAT(n.LastError + ": " + error,
              AllOf(StartsWith("Failed to connect to host " + std::string(c.host) + " on port " +
                               std::to_string(server.Port()) + ": "),
                    HasSubstr(c.refusal)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecureTransport,
    ::testing::Values(
        TSecureCase{"StartTlsRequiredWithLogon", false, TCert::Server, "127.0.0.1", 1, "localhost",
                    TTrust::CaFile, true, nullptr},
        TSecureCase{"SslTlsOnItsOwnPort", true, TCert::Server, "127.0.0.1", 2, "localhost", TTrust::CaFile,
                    true, nullptr},
        TSecureCase{"SslTlsToADottedAddress", true, TCert::Server, "127.0.0.1", 2, "127.0.0.1",
                    TTrust::CaFile, false, nullptr},
        TSecureCase{"StartTlsOverIpv6", false, TCert::Server, "::1", 1, "::1", TTrust::CaFile, true, nullptr},
        TSecureCase{"SslTlsToABracketedIpv6Address", true, TCert::Server, "::1", 2, "[::1]", TTrust::CaFile,
                    false, nullptr},
        TSecureCase{"SelfSignedAcceptedByFingerprint", true, TCert::SelfSigned, "127.0.0.1", 2, "localhost",
                    TTrust::RightFingerprint, true, nullptr},
        TSecureCase{"SelfSignedAcceptedByFingerprintAfterStartTls", false, TCert::SelfSigned, "::1", 1, "::1",
                    TTrust::RightFingerprint, false, nullptr},
        TSecureCase{"WrongHostNameRefused", false, TCert::OtherName, "127.0.0.1", 1, "localhost",
                    TTrust::CaFile, true, "TLS certificate of the mail server is not for localhost"},
        // An address is checked against the certificate as a name is: one issued for another name is refused.
        TSecureCase{"DottedAddressNotInTheCertificateRefused", true, TCert::OtherName, "127.0.0.1", 2,
                    "127.0.0.1", TTrust::CaFile, false,
                    "TLS certificate of the mail server is not for 127.0.0.1"},
        TSecureCase{"Ipv6AddressNotInTheCertificateRefused", false, TCert::OtherName, "::1", 1, "[::1]",
                    TTrust::CaFile, false, "TLS certificate of the mail server is not for ::1"},
        TSecureCase{"WrongFingerprintRefused", true, TCert::SelfSigned, "127.0.0.1", 2, "localhost",
                    TTrust::WrongFingerprint, false, "is not the one configured"},
        TSecureCase{"SelfSignedNotTrusted", false, TCert::SelfSigned, "127.0.0.1", 1, "localhost",
                    TTrust::System, true,
                    "TLS certificate for localhost not trusted: self-signed certificate"},
        TSecureCase{"PrivateCaNotTrustedWithoutItsFile", true, TCert::Server, "127.0.0.1", 2, "localhost",
                    TTrust::System, false,
                    "TLS certificate for localhost not trusted: unable to get local issuer"}),
    [](const auto& info) { return std::string(info.param.name); });

// Servers that cannot secure the connection: refused before any logon crosses the network.
TEST(SecureTransportRefusals, NoLogonEverGoesOutInPlain) {
  const std::string host = "127.0.0.1";
  const struct {
    const char* name;
    std::vector<TSmtpReply> script;
    const char* reason;
  } cases[] = {
      {"STARTTLS not offered",
       {"220 ready", TSmtpReply::Lines({"250-sink.test", "250-AUTH LOGIN PLAIN", "250 8BITMIME"}, false),
        "221 bye"},
       "Mail server 127.0.0.1 does not offer STARTTLS"},
      {"STARTTLS answered 454",
       {"220 ready", TSmtpReply::Lines({"250-sink.test", "250-STARTTLS", "250 AUTH LOGIN PLAIN"}, true),
        "454 TLS not available due to temporary reason", "221 bye"},
       "Mail server 127.0.0.1 refused STARTTLS: 454 TLS not available due to temporary reason"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedSmtpServer server(c.script);
    server.Start();
    TNotifier n;
    n.SMTPServer = host;
    n.SMTPPort = server.Port();
    n.SMTPFrom = "backup@example.org";
    n.SendTo = "ops@example.org";
    n.SMTPSecurity = 1;
    n.SMTPRequiresLogon = true;
    n.SMTPLogon = "user";
    n.SMTPPwd = "secret";
    const std::string error = ErrorOf([&] { n.SendMail(""); });
    EXPECT_EQ(n.LastError + ": " + error, "Failed to connect to host 127.0.0.1 on port " +
                                              std::to_string(server.Port()) + ": " + c.reason);
    const auto commands = server.Commands();
    EXPECT_THAT(commands, Not(Contains(StartsWith("AUTH"))));
    EXPECT_THAT(commands, Not(Contains(StartsWith("MAIL"))));
    ASSERT_FALSE(commands.empty());
    EXPECT_THAT(commands.front(), StartsWith("EHLO "));
  }
}

// Settings that ask for TLS (a CA file, a fingerprint) with a plain connection, or recipients
// without a mail server: nothing is sent, and the reason is the error.
TEST(SecureTransportRefusals, SettingsThatCannotSendSafelySendNothing) {
  const struct {
    const char* name;
    void (*change)(TNotifier&);
    const char* error;
  } cases[] = {
      {"CaFileWithPlain", [](TNotifier& n) { n.SMTPCAFile = "/etc/ssl/certs/ca-certificates.crt"; },
       "\"SMTPCAFile\" is set but connection security \"SMTPSecurity\" is 0 (none): nothing is sent in "
       "plain"},
      {"FingerprintWithPlain", [](TNotifier& n) { n.SMTPFingerprint = std::string(64, 'a'); },
       "\"SMTPFingerprint\" is set but connection security \"SMTPSecurity\" is 0 (none): nothing is sent in "
       "plain"},
      {"NoMailServer", [](TNotifier& n) { n.SMTPServer = " "; }, "No mail server is set (\"SMTPServer\")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedSmtpServer server = AcceptingServer();
    server.Start();
    TNotifier n = SettingsFor(server);
    n.SMTPRequiresLogon = true;
    n.SMTPLogon = "user";
    n.SMTPPwd = "secret";
    n.SendTo = "ops@example.org";
    c.change(n);
    EXPECT_EQ(MailSettingsProblem(n), c.error);
    bool sent = true;
    EXPECT_EQ(ErrorOf([&] { sent = n.SendMail(""); }), "no error");
    EXPECT_FALSE(sent);
    EXPECT_EQ(n.LastError, c.error);
    EXPECT_EQ(server.Connections(), 0);
  }
}

// A CA file that is no regular file of at most 1 MiB holding a certificate is refused before
// anything connects; a FIFO with no writer must not hold the send.
TEST(SecureTransportRefusals, CaFileThatCannotServeSendsNothing) {
  test::TTempDir dir;
  const std::string fifo = dir / "ca.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = dir / "big.pem";
  std::string pem = test::ReadFile(Certs().caPem);
  std::string bigText;
  while (bigText.size() <= 2u << 20) bigText += pem;
  test::WriteFile(big, bigText);
  // Its last reading a day before its last change: any read of it moves that time (relatime).
  struct stat st {};
  ASSERT_EQ(::stat(big.c_str(), &st), 0);
  const timespec times[2] = {{st.st_mtim.tv_sec - 86400, 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(::utimensat(AT_FDCWD, big.c_str(), times, 0), 0);
  const std::string empty = dir / "empty.pem";
  test::WriteFile(empty, "no certificate here\n");
  const struct {
    const char* name;
    std::string file;
    const char* reason;
  } cases[] = {
      {"Fifo", fifo, "not a regular file"},
      {"TwoMiB", big, "larger than 1 MiB"},
      {"Missing", dir / "missing.pem", "No such file or directory"},
      {"Directory", dir.Path(), "not a regular file"},
      {"NoCertificate", empty, "holds no PEM certificate"},
  };
  for (int security : {1, 2})
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " security " + std::to_string(security));
      TScriptedSmtpServer server = AcceptingServer();
      server.Start();
      TNotifier n = SettingsFor(server);
      n.SendTo = "ops@example.org";
      n.SMTPSecurity = security;
      n.SMTPCAFile = c.file;
      bool sent = true;
      EXPECT_EQ(ErrorOf([&] { sent = n.SendMail(""); }), "no error");
      EXPECT_FALSE(sent);
      EXPECT_EQ(n.LastError, "TLS CA file " + c.file + " cannot be used: " + c.reason);
      EXPECT_EQ(server.Connections(), 0);
    }
  // The file too large is refused by its size alone, without a byte of it read.
  ASSERT_EQ(::stat(big.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
}

// A security setting the program does not know (a typo, a word for the number) may have been
// meant to protect the logon: the mail is not sent, rather than sent in plain.
TEST(SecureTransportRefusals, UnknownSecurityChoiceSendsNothing) {
  for (const char* value : {"3", "-1", "starttls", "1x"}) {
    SCOPED_TRACE(value);
    test::TSealedEnv env;
    TScriptedSmtpServer server = AcceptingServer();
    server.Start();
    TNotifier saved = SettingsFor(server);
    saved.SMTPRequiresLogon = true;
    saved.SMTPLogon = "user";
    saved.SMTPPwd = "secret";
    SaveSettings(saved);
    ASSERT_TRUE(WriteProfileString(SettingsFileName(), "Email Settings", "SMTPSecurity", value));
    TNotifier n;
    LoadSettings(n);
    n.SendTo = "ops@example.org";
    bool sent = true;
    EXPECT_EQ(ErrorOf([&] { sent = n.SendMail(""); }), "no error");
    EXPECT_FALSE(sent);
    EXPECT_THAT(n.LastError, HasSubstr("\"SMTPSecurity\" must be 0 (none), 1 (STARTTLS) or 2 (SSL/TLS)"));
    EXPECT_EQ(server.Connections(), 0);
  }
}

// The time-out bounds the handshake as it bounds every plain read.
TEST(SecureTransportRefusals, SilentServerEndsTheHandshakeWithinTheTimeOut) {
  SetNotifierSmtpTimeout(300);
  TScriptedSmtpServer server({TSmtpReply::Silence()});
  server.Start();
  TNotifier n;
  n.SMTPServer = "127.0.0.1";
  n.SMTPPort = server.Port();
  n.SMTPFrom = "backup@example.org";
  n.SendTo = "ops@example.org";
  n.SMTPSecurity = 2;
  const std::string error = ErrorOf([&] { n.SendMail(""); });
  EXPECT_EQ(n.LastError + ": " + error, "Failed to connect to host 127.0.0.1 on port " +
                                            std::to_string(server.Port()) +
                                            ": TLS handshake with 127.0.0.1 failed: no answer in time");
  SetNotifierSmtpTimeout(30000);
}

// A server that answers a byte at a time renews no wait: the handshake and each reply get the
// time-out once, as a whole, and the line says which step ran out.
TEST(SecureTransportRefusals, TricklingServerIsCutOffWithinTheTimeOut) {
  using TTrickle = test::TTricklingSmtpServer::TTrickle;
  using TTls = test::TTricklingSmtpServer::TTls;
  const TTestCerts& certs = Certs();
  const struct {
    const char* name;
    TTrickle what;
    TTls tls;
    int security;
    const char* reason;
  } cases[] = {
      {"handshake after STARTTLS", TTrickle::Handshake, TTls::StartTls, 1,
       "TLS handshake with 127.0.0.1 failed: no answer in time"},
      {"handshake from the first byte", TTrickle::Handshake, TTls::Implicit, 2,
       "TLS handshake with 127.0.0.1 failed: no answer in time"},
      {"greeting inside TLS", TTrickle::Reply, TTls::Implicit, 2,
       "timed out waiting for the reply to the greeting"},
      {"plain reply", TTrickle::Reply, TTls::None, 0, "timed out waiting for the reply to HELO"},
  };
  constexpr int kTimeoutMs = 1000;
  SetNotifierSmtpTimeout(kTimeoutMs);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TTricklingSmtpServer server(c.what, c.tls, certs.serverPem, certs.serverKey);
    TNotifier n;
    n.SMTPServer = "127.0.0.1";
    n.SMTPPort = server.Port();
    n.SMTPFrom = "backup@example.org";
    n.SendTo = "ops@example.org";
    n.SMTPSecurity = c.security;
    if (c.security != 0) n.SMTPCAFile = certs.caPem;
    const auto start = std::chrono::steady_clock::now();
    const std::string error = ErrorOf([&] { n.SendMail(""); });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(n.LastError + ": " + error, "Failed to connect to host 127.0.0.1 on port " +
                                              std::to_string(server.Port()) + ": " + c.reason);
    // A hang is the fault looked for; the bound leaves room for a loaded machine.
    EXPECT_LT(elapsed, std::chrono::milliseconds(kTimeoutMs + 3000));
  }
  SetNotifierSmtpTimeout(30000);
}

// Without the new keys the conversation is the one plain SMTP always had, command for command.
TEST(SecureTransportRefusals, PlainWhenNotChosenSaysExactlyWhatItAlwaysSaid) {
  test::TSealedEnv env;
  TScriptedSmtpServer server = AcceptingServer();
  server.Start();
  SaveSettings(SettingsFor(server));
  TNotifier n;
  LoadSettings(n);
  ASSERT_EQ(n.SMTPSecurity, 0);
  n.SendTo = "ops@example.org";
  n.Subject = "s";
  n.Body = "b";
  ASSERT_TRUE(n.SendMail("")) << n.LastError;
  const auto commands = server.Commands();
  ASSERT_EQ(commands.size(), 6u);
  EXPECT_THAT(commands[0], StartsWith("HELO "));
  EXPECT_EQ(std::vector<std::string>(commands.begin() + 1, commands.end()),
            (std::vector<std::string>{"MAIL FROM:<backup@example.org>", "RCPT TO:<ops@example.org>", "DATA",
                                      "RSET", "QUIT"}));
}

}  // namespace
}  // namespace tavik
