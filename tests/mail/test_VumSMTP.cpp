// The SMTP client against a scripted server on 127.0.0.1: the dialogue, split and odd replies,
// refusals, progress and time-outs; and the address routines it relies on.
#include "mail/VumSMTP.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "mail/VumMsg.h"
#include "platform/uErrors.h"
#include "platform/uSystem.h"
#include "tests/support/SmtpServers.h"

namespace tavik {
namespace {

using test::TScriptedSmtpServer;
using test::TSmtpReply;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The message of the error f raises, "no error" when it raises none.
template <class F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const EQorvError& e) {
    return e.what();
  }
  return "no error";
}

// ---- address routines

TEST(SmtpAddresses, IsDottedAddress) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true}, {"0.0.0.0", true},    {"255.255.255.255", true},   {"256.1.1.1", false},
      {"1.2.3", false},    {"1.2.3.4.5", false}, {"mail.example.org", false}, {"1.2.3.x", false},
      {"1..3.4", false},   {"", false},          {"1.2.3.-4", false},         {" 1.2.3.4", false},
  };
  for (const auto& [text, dotted] : cases) EXPECT_EQ(IsDottedAddress(text), dotted) << text;
}

TEST(SmtpAddresses, ExtractAddress) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"Ann\" <ann@x.org>", "ann@x.org"},
      {"  bob@y.org  ", "bob@y.org"},
      {"carl@z.org (Carl (the boss)", "carl@z.org"},  // a "(" with a ")" after it goes through that ")"
      {"(note) Dee <dee@w.org> (more)", "dee@w.org"},
      {"a)b(c@x.org", "a)b(c@x.org"},  // ")" before "(" is no comment
      {">odd@x.org<", ""},
      {"<only@x.org", "<only@x.org"},
  };
  for (const auto& [text, address] : cases) EXPECT_EQ(ExtractAddress(text), address) << text;
}

TEST(SmtpAddresses, RemoveCharAndRemoveQuoted) {
  EXPECT_EQ(RemoveChar(" a b  c ", ' '), "abc");
  EXPECT_EQ(RemoveQuoted("\"Ann\"<a@x>,\"Bob\"<b@y>", '"'), "<a@x>,<b@y>");
  EXPECT_EQ(RemoveQuoted("x\"unpaired", '"'), "xunpaired");
  EXPECT_EQ(RemoveQuoted(" \t\r\n ", '"'), "");
}

TEST(SmtpAddresses, ParseAddressListLowersAndStripsRecipients) {
  EXPECT_THAT(ParseAddressList("\"Smith, Ann\" <Ann.Smith@Example.ORG>,<b o b@Y.org>"),
              ElementsAre("ann.smith@example.org", "bob@y.org"));
  EXPECT_THAT(ParseAddressList("   "), ElementsAre());
  EXPECT_THAT(ParseAddressList("a@x,"), ElementsAre("a@x", ""));
}

// ---- the dialogue

// What a client told its handlers, in order.
struct TEventLog {
  std::vector<std::string> events;
  std::vector<int> progress;
  std::vector<std::string> received;
  void* errorSender = nullptr;
  int errorCode = -1;
  std::string errorText;

  void Attach(TVumSMTP& smtp) {
    smtp.OnLookup = [this](void*, TClientSocket&) { events.push_back("lookup"); };
    smtp.OnConnecting = [this](void*, TClientSocket&) { events.push_back("connecting"); };
    smtp.OnConnect = [this](void*) { events.push_back("connect"); };
    smtp.OnQuit = [this](void*) { events.push_back("quit"); };
    smtp.OnBeforeSend = [this](void*) { events.push_back("before"); };
    smtp.OnAfterSend = [this](void*) { events.push_back("after"); };
    smtp.OnSendProgress = [this](void*, uint16_t p) { progress.push_back(p); };
    smtp.OnReceiveTextFromSocket = [this](void*, const std::string& s) { received.push_back(s); };
    smtp.OnError = [this](void* sender, int code, const std::string& msg) {
      events.push_back("error");
      errorSender = sender;
      errorCode = code;
      errorText = msg;
    };
  }
};

// Starts the server and points the client at it, its events going to log.
void Aim(TVumSMTP& smtp, TScriptedSmtpServer& server, TEventLog& log, int timeoutMs = 2000) {
  server.Start();
  smtp.Host = "127.0.0.1";
  smtp.Port = std::to_string(server.Port());
  smtp.OperationTimeout = timeoutMs;
  log.Attach(smtp);
}

class SmtpSession : public ::testing::Test {
 protected:
  void Serve(std::vector<TSmtpReply> script) {
    server = std::make_unique<TScriptedSmtpServer>(std::move(script));
    Aim(smtp, *server, log);
  }
  // The commands the server saw, each one a line.
  std::vector<std::string> Commands() const { return server->Commands(); }

  std::unique_ptr<TScriptedSmtpServer> server;
  TVumSMTP smtp;
  TEventLog log;
};

// The replies of one transaction that goes through.
std::vector<TSmtpReply> Transaction(int recipients) {
  std::vector<TSmtpReply> r = {"250 sender ok"};
  for (int i = 0; i < recipients; ++i) r.emplace_back("250 recipient ok");
  r.insert(r.end(), {"354 go ahead", "250 queued", "250 reset"});
  return r;
}

std::vector<TSmtpReply> Join(std::vector<TSmtpReply> a, const std::vector<TSmtpReply>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(SmtpSession, RepliesWrittenInPiecesAreReadWhole) {
  // Every reply of a session arrives cut up; a reader that takes each piece for a reply falls out
  // of step and refuses the good server.
  const auto lineByLine = [](std::vector<std::string> lines) { return TSmtpReply::Lines(lines, true); };
  Serve({lineByLine({"220-mail.test welcomes you", "220-second line", "220 ready"}),
         lineByLine({"250-mail.test", "250-SIZE 1000", "250-AUTH PLAIN", "250 AUTH LOGIN"}),
         TSmtpReply::Pieces({"3", "34 VXNlcm5hbWU6\r\n"}), TSmtpReply::Pieces({"334 UGFzc3dvcmQ6", "\r\n"}),
         lineByLine({"235-accepted", "235 welcome"}), lineByLine({"250-sender", "250 ok"}),
         TSmtpReply::Pieces({"25", "0 recipient", " ok\r\n"}), lineByLine({"354-go", "354 ahead"}),
         lineByLine({"250-queued", "250 as 42"}), TSmtpReply::Pieces({"250 res", "et\r\n"}),
         lineByLine({"221-bye", "221 closing"})});
  smtp.UserId = "user";
  smtp.UserPasswd = "pass";

  ASSERT_TRUE(smtp.Connect()) << smtp.ReplyCode() << " " << smtp.ReplyText();
  EXPECT_EQ(smtp.ReplyCode(), "250");
  EXPECT_THAT(smtp.ReplyText(), HasSubstr("250 AUTH LOGIN\r\n"));  // the EHLO reply kept whole
  EXPECT_TRUE(smtp.AuthLoginOffered());
  EXPECT_TRUE(smtp.AuthPlainOffered());
  EXPECT_TRUE(smtp.Login());
  EXPECT_EQ(smtp.SendEnvelope("me@x.org", "", false, {"Subject: hi", "", "body"}, {"you@y.org"}), 1);
  EXPECT_EQ(smtp.ReplyCode(), "250");
  EXPECT_EQ(smtp.ReplyText(), "reset");
  smtp.Disconnect();
  EXPECT_EQ(smtp.ReplyCode(), "221");
  EXPECT_EQ(smtp.ReplyText(), "bye");  // the first line's text, the last line's code
  EXPECT_THAT(log.received, ::testing::Contains("354-go\r\n354 ahead\r\n"));
  EXPECT_THAT(Commands(), ElementsAre(HasSubstr("EHLO "), "AUTH LOGIN", "dXNlcg==", "cGFzcw==",
                                      "MAIL FROM:<me@x.org>", "RCPT TO:<you@y.org>", "DATA", "RSET", "QUIT"));
  EXPECT_THAT(server->DataBlocks(), ElementsAre("Subject: hi\r\n\r\nbody\r\n\r\n"));
}

TEST_F(SmtpSession, RefusalInPiecesIsNotTakenForSuccess) {
  Serve(Join({"220 ready", "250 hello", "250 sender ok"},
             {TSmtpReply::Pieces({"55", "0-no such user\r\n", "550 really\r\n"})}));
  ASSERT_TRUE(smtp.Connect());
  EXPECT_EQ(smtp.SendEnvelope("me@x.org", "", false, {"x"}, {"a@y.org", "b@y.org"}), -2);
  EXPECT_EQ(smtp.ReplyCode(), "550");
  EXPECT_EQ(smtp.ReplyText(), "no such user");
  EXPECT_THAT(Commands(), ElementsAre(HasSubstr("HELO "), "MAIL FROM:<me@x.org>", "RCPT TO:<a@y.org>"));
}

TEST_F(SmtpSession, ShortRepliesLeaveTheCodeAndMinusErrFails) {
  // A reply of four bytes or fewer changes nothing, so the step is judged by the reply before it.
  Serve(Join({"220 ready", "250 hello", "250 sender ok", TSmtpReply::Raw("55\r\n")},
             {"354 go", "250 queued", TSmtpReply::Raw("-ERR no\r\n")}));
  ASSERT_TRUE(smtp.Connect());
  EXPECT_EQ(smtp.SendEnvelope("me@x.org", "", false, {"x"}, {"a@y.org"}), -5);
  EXPECT_EQ(smtp.ReplyCode(), "-ERR");
  EXPECT_TRUE(smtp.Failed());
  EXPECT_THAT(Commands(),
              ElementsAre(HasSubstr("HELO "), "MAIL FROM:<me@x.org>", "RCPT TO:<a@y.org>", "DATA", "RSET"));
}

TEST_F(SmtpSession, GreetingNameAndHeloOrEhlo) {
  const std::string machine = HostComputerName();
  if (machine.empty() || machine.find('.') != std::string::npos || IsDottedAddress(machine))
    GTEST_SKIP() << "needs a machine name without dots, this one is '" << machine << "'";
  struct TCase {
    const char* host;
    const char* domain;
    const char* user;
    const char* password;
    std::string command;
  };
  const TCase cases[] = {
      {"127.0.0.1", "", "", "", "HELO " + machine},
      {"localhost", "", "", "", "HELO " + machine + ".localhost"},
      {"localhost", "corp.test", "u", "", "EHLO " + machine + ".corp.test"},
      {"127.0.0.1", "corp.test", "", "p", "EHLO " + machine},
  };
  for (const TCase& c : cases) {
    TScriptedSmtpServer server({"220 ready", "250 hello"});
    TVumSMTP smtp;
    TEventLog events;
    Aim(smtp, server, events);
    smtp.Host = c.host;
    smtp.LocalDomainName = c.domain;
    smtp.UserId = c.user;
    smtp.UserPasswd = c.password;
    EXPECT_TRUE(smtp.Connect()) << c.host;
    EXPECT_EQ(smtp.LocalAddr(), "127.0.0.1");
    EXPECT_THAT(server.Commands(), ElementsAre(c.command)) << c.host << " " << c.domain;
  }
}

TEST_F(SmtpSession, GreetingOrHeloRefusedEndsWithQuit) {
  for (const char* refusal : {"554 go away", "421 busy"}) {
    TScriptedSmtpServer server({refusal, "221 bye"});
    TVumSMTP smtp;
    TEventLog events;
    Aim(smtp, server, events, 1000);
    EXPECT_FALSE(smtp.Connect()) << refusal;
    EXPECT_FALSE(smtp.IsConnected());
    EXPECT_THAT(server.Commands(), ElementsAre("QUIT")) << refusal;
    EXPECT_THAT(events.events, ElementsAre("lookup", "connecting", "connect", "quit")) << refusal;
  }
  Serve({"220 ready", "502 not here", "221 bye"});
  EXPECT_FALSE(smtp.Connect());
  EXPECT_THAT(Commands(), ElementsAre(HasSubstr("HELO "), "QUIT"));
}

TEST_F(SmtpSession, PortAndAddressGivenToTheSocket) {
  struct TCase {
    const char* host;
    const char* port;
    const char* address;  // what the socket connects to without lookup
    const char* name;     // what it looks up
    int socketPort;
  };
  const TCase cases[] = {
      {"10.1.2.3", "abc", "10.1.2.3", "", 25},
      {"010.001.2.3", "2525", "10.1.2.3", "", 2525},
      {"1.2.3.4.5", "", "", "1.2.3.4.5", 25},
      {"mailhost", "587", "", "mailhost", 587},
  };
  for (const TCase& c : cases) {
    TVumSMTP smtp;
    smtp.Host = c.host;
    smtp.Port = c.port;
    // Looked at, then stopped before anything goes on the network.
    smtp.OnLookup = [&](void*, TClientSocket& s) {
      EXPECT_EQ(s.Address(), c.address) << c.host;
      EXPECT_EQ(s.Host(), c.name) << c.host;
      EXPECT_EQ(s.Port(), c.socketPort) << c.host;
      throw EQorvError("stop here");
    };
    EXPECT_FALSE(smtp.Connect());
    EXPECT_TRUE(smtp.Failed());
  }
}

TEST_F(SmtpSession, ConnectFailuresReturnFalse) {
  // A port that was just free, so nothing listens there.
  int port = 0;
  {
    TScriptedSmtpServer probe({});
    probe.Start();
    port = probe.Port();
  }
  for (const char* host : {"127.0.0.1", "no-such-host.invalid", ""}) {
    TVumSMTP smtp;
    TEventLog events;
    events.Attach(smtp);
    smtp.Host = host;
    smtp.Port = std::to_string(port);
    smtp.OperationTimeout = 1000;
    EXPECT_FALSE(smtp.Connect()) << host;
    EXPECT_TRUE(smtp.Failed()) << host;
    EXPECT_FALSE(smtp.IsConnected()) << host;
  }
}

TEST_F(SmtpSession, SilentServerTimesOut) {
  // The server accepts and never greets. Should the client wait for ever, a watchdog ends the
  // connection after a long while, which the test then reports.
  Serve({TSmtpReply::Silence()});
  smtp.OperationTimeout = 1000;
  std::atomic<bool> done{false}, watchdogFired{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!done) {
      watchdogFired = true;
      server->Stop();
    }
  });
  const bool connected = smtp.Connect();
  done = true;
  watchdog.join();
  EXPECT_FALSE(watchdogFired);
  EXPECT_FALSE(connected);
  EXPECT_FALSE(smtp.IsConnected());
  EXPECT_TRUE(smtp.Failed());
  EXPECT_EQ(log.errorSender, &smtp.Socket());  // the time-out is a socket failure
  EXPECT_THAT(log.events, ElementsAre("lookup", "connecting", "connect", "quit", "error"));
}

TEST_F(SmtpSession, ServerFallingSilentOrBabblingMidSessionRaises) {
  struct TCase {
    TSmtpReply reply;
    const char* error;
  };
  const TCase cases[] = {
      {TSmtpReply::Silence(), "Socket error: Connection timed out (110), on API 'recv'"},
      {TSmtpReply::Raw([] {
         std::string endless;
         while (endless.size() <= TVumSMTP::MaxReplySize) endless += "250-and more\r\n";
         return endless;
       }()),
       "Socket error: Message too long (90), on API 'recv'"},
  };
  for (const TCase& c : cases) {
    TScriptedSmtpServer server({"220 ready", "250 hello", c.reply});
    TVumSMTP smtp;
    TEventLog events;
    Aim(smtp, server, events, 1000);
    ASSERT_TRUE(smtp.Connect());
    TVumMsg msg;
    msg.SetFrom("me@x.org");
    msg.SetSendTo("you@y.org");
    msg.Text() = {"hello"};
    try {
      smtp.SendMessage(msg);
      ADD_FAILURE() << "no error for " << c.error;
    } catch (const ESocketError& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
    EXPECT_FALSE(smtp.IsConnected());
    EXPECT_TRUE(smtp.Failed());
    EXPECT_THAT(events.events, ElementsAre("lookup", "connecting", "connect", "before", "quit", "error"));
  }
}

// ---- authentication

TEST_F(SmtpSession, LoginTriesLoginThenPlain) {
  struct TCase {
    const char* name;
    std::vector<TSmtpReply> replies;  // after the greeting
    bool result;
    bool connected;
    std::vector<std::string> commands;  // after EHLO
  };
  const std::string plain = "AUTH PLAIN AHVzZXIAcGFzcw==";  // zero, "user", zero, "pass"
  const TCase cases[] = {
      {"both offered, LOGIN works",
       {"250 AUTH LOGIN PLAIN", "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 ok"},
       true,
       true,
       {"AUTH LOGIN", "dXNlcg==", "cGFzcw=="}},
      {"password refused, PLAIN next",
       {"250 AUTH LOGIN PLAIN", "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "535 no", "235 ok"},
       true,
       true,
       {"AUTH LOGIN", "dXNlcg==", "cGFzcw==", plain}},
      {"LOGIN not understood, PLAIN next",
       {"250 AUTH LOGIN PLAIN", "504 what", "235 ok"},
       true,
       true,
       {"AUTH LOGIN", plain}},
      {"only PLAIN", {"250 AUTH PLAIN", "235 ok"}, true, true, {plain}},
      {"PLAIN refused", {"250 AUTH PLAIN", "535 no"}, false, true, {plain}},
      {"-ERR ends the session", {"250 AUTH LOGIN PLAIN", "-ERR no"}, false, false, {"AUTH LOGIN"}},
      {"user name refused ends the session",
       {"250 AUTH LOGIN PLAIN", "334 VXNlcm5hbWU6", "535 who"},
       false,
       false,
       {"AUTH LOGIN", "dXNlcg=="}},
      {"nothing offered", {"250 hello"}, false, true, {}},
  };
  for (const TCase& c : cases) {
    TScriptedSmtpServer server(Join({"220 ready"}, c.replies));
    TVumSMTP smtp;
    TEventLog events;
    Aim(smtp, server, events);
    smtp.UserId = "user";
    smtp.UserPasswd = "pass";
    ASSERT_TRUE(smtp.Connect()) << c.name;
    EXPECT_EQ(smtp.Login(), c.result) << c.name;
    EXPECT_EQ(smtp.Authenticated(), c.result) << c.name;
    EXPECT_EQ(smtp.IsConnected(), c.connected) << c.name;
    std::vector<std::string> commands = server.Commands();
    ASSERT_FALSE(commands.empty());
    commands.erase(commands.begin());
    EXPECT_THAT(commands, ElementsAreArray(c.commands)) << c.name;
  }
}

TEST_F(SmtpSession, LoginMisuse) {
  EXPECT_EQ(ErrorOf([&] { smtp.Login(); }), "Invalid Op. Not connected.");
  Serve({"220 ready", "250 AUTH LOGIN", "334 VXNlcm5hbWU6"});
  smtp.UserPasswd = "pass";  // and no user name
  ASSERT_TRUE(smtp.Connect());
  EXPECT_EQ(ErrorOf([&] { smtp.Login(); }), "Invalid Base64 String - Length:0");
}

// ---- sending

TEST_F(SmtpSession, EachRecipientListIsItsOwnTransaction) {
  Serve(Join(Join({"220 ready", "250 hello"}, Transaction(2)), Join(Transaction(1), Transaction(1))));
  TVumMsg msg;
  msg.SetFrom("\"Ann Smith\" <Ann.Smith@Example.ORG>");
  msg.SetSendTo("\"Bob Jones\" <Bob.Jones@Example.ORG>, Carl <CARL@z.org>");
  msg.SetCC("Dee <Dee@W.org>");
  msg.SetBCC("eve@V.org");
  msg.Subject = "Report";
  msg.Text() = {"line one", "line two"};
  ASSERT_TRUE(smtp.Connect());
  EXPECT_TRUE(smtp.SendMessage(msg));
  smtp.Disconnect();
  EXPECT_THAT(Commands(), ElementsAre(HasSubstr("HELO "), "MAIL FROM:<Ann.Smith@Example.ORG>",
                                      "RCPT TO:<bob.jones@example.org>", "RCPT TO:<carl@z.org>", "DATA",
                                      "RSET", "MAIL FROM:<Ann.Smith@Example.ORG>", "RCPT TO:<dee@w.org>",
                                      "DATA", "RSET", "MAIL FROM:<Ann.Smith@Example.ORG>",
                                      "RCPT TO:<eve@v.org>", "DATA", "RSET", "QUIT"));
  const auto blocks = server->DataBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0], blocks[1]);
  EXPECT_EQ(blocks[0], blocks[2]);
  std::string composed;
  for (const std::string& line : msg.RawMail()) composed += line + "\r\n";
  EXPECT_EQ(blocks[0], composed + "\r\n");
  EXPECT_THAT(log.events, ElementsAre("lookup", "connecting", "connect", "before", "after", "quit"));
}

// An 8-bit body goes out as it is only to a server whose EHLO reply offers 8BITMIME, announced in
// MAIL FROM; any other server (and one greeted with HELO, which learns nothing) gets it
// quoted-printable, with no byte beyond ASCII on the wire.
TEST(SmtpEightBit, BodyIsEightBitOnlyWhereTheServerOffersIt) {
  const struct {
    const char* name;
    bool ehlo;
    const char* ehloReply;
    const char* body;
    const char* mailFrom;
    const char* encoding;
    const char* bodyOnTheWire;
  } cases[] = {
      {"offered", true, "250-hello\r\n250-8BITMIME\r\n250 SIZE 1000000",
       "Gr\xC3\xBC\xC3\x9F"
       "e",
       "MAIL FROM:<a@b.org> BODY=8BITMIME", "Content-Transfer-Encoding: 8Bit",
       "Gr\xC3\xBC\xC3\x9F"
       "e"},
      {"not offered", true, "250-hello\r\n250 SIZE 1000000",
       "Gr\xC3\xBC\xC3\x9F"
       "e",
       "MAIL FROM:<a@b.org>", "Content-Transfer-Encoding: quoted-printable",
       "Gr=C3=BC=C3=9F"
       "e"},
      {"greeted with HELO", false, "250 hello",
       "Gr\xC3\xBC\xC3\x9F"
       "e",
       "MAIL FROM:<a@b.org>", "Content-Transfer-Encoding: quoted-printable",
       "Gr=C3=BC=C3=9F"
       "e"},
      {"ASCII body", true, "250-hello\r\n250 8BITMIME", "Gruesse", "MAIL FROM:<a@b.org>",
       "Content-Transfer-Encoding: 8Bit", "Gruesse"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedSmtpServer server(Join({"220 ready", TSmtpReply::Raw(std::string(c.ehloReply) + "\r\n")},
                                    Join(Transaction(1), {"221 bye"})));
    TVumSMTP smtp;
    TEventLog log;
    Aim(smtp, server, log);
    if (c.ehlo) smtp.UserId = "user";  // a logon to come makes the greeting EHLO
    TVumMsg msg;
    msg.SetFrom("a@b.org");
    msg.SetSendTo("c@d.org");
    msg.Subject = "s";
    msg.CharSet = "utf-8";
    msg.Text() = {c.body};
    ASSERT_TRUE(smtp.Connect());
    EXPECT_TRUE(smtp.SendMessage(msg));
    smtp.Disconnect();
    const auto commands = server.Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_THAT(commands[0], StartsWith(c.ehlo ? "EHLO " : "HELO "));
    EXPECT_EQ(commands[1], c.mailFrom);
    const auto blocks = server.DataBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_THAT(blocks[0], HasSubstr(c.encoding));
    EXPECT_THAT(blocks[0], HasSubstr(std::string("\r\n") + c.bodyOnTheWire + "\r\n"));
    const bool ascii = std::all_of(blocks[0].begin(), blocks[0].end(),
                                   [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
    EXPECT_EQ(ascii, std::string(c.mailFrom).find("8BITMIME") == std::string::npos);
  }
}

// A server that answers the dialogue at once but reads the mail's data slowly: bytesPerTick
// every 50 ms, or, with 0, not at all once DATA is answered. Its receive buffer is small, so the
// client meets the pace at once.
class TSlowReader {
 public:
  explicit TSlowReader(size_t bytesPerTick) : perTick_(bytesPerTick) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 64 * 1024;
    setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listen_, 1) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("slow reader cannot listen");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TSlowReader() {
    stop_ = true;
    shutdown(listen_, SHUT_RDWR);
    thread_.join();
    close(listen_);
  }
  int Port() const { return port_; }

 private:
  // Waits for readable bytes up to 50 ms; false once the test is over or the client gone.
  bool Read(int fd, std::string& into, size_t most) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      std::string chunk(most, '\0');
      const ssize_t n = recv(fd, chunk.data(), most, 0);
      if (n <= 0) return false;
      into.append(chunk.data(), static_cast<size_t>(n));
      return true;
    }
    return false;
  }
  void Serve() {
    pollfd p{listen_, POLLIN, 0};
    while (!stop_ && poll(&p, 1, 50) <= 0) {
    }
    const int fd = stop_ ? -1 : accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    auto say = [fd](const char* text) { send(fd, text, std::strlen(text), MSG_NOSIGNAL); };
    say("220 ready\r\n");
    std::string in;
    bool inData = false;
    while (!stop_) {
      if (inData) {
        if (perTick_ == 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          continue;
        }
        // A tick's worth, as far as it has come, then the pause.
        if (!Read(fd, in, perTick_)) break;
        for (size_t got = in.size(); got < perTick_;) {
          char chunk[65536];
          const ssize_t n = recv(fd, chunk, std::min(sizeof chunk, perTick_ - got), MSG_DONTWAIT);
          if (n <= 0) break;
          in.append(chunk, static_cast<size_t>(n));
          got += static_cast<size_t>(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const size_t end = in.find("\r\n.\r\n");
        if (end == std::string::npos) {
          in.erase(0, in.size() > 4 ? in.size() - 4 : 0);
          continue;
        }
        in.erase(0, end + 5);
        inData = false;
        say("250 queued\r\n");
        continue;
      }
      const size_t nl = in.find('\n');
      if (nl == std::string::npos) {
        if (!Read(fd, in, 4096)) break;
        continue;
      }
      const std::string line = in.substr(0, nl);
      in.erase(0, nl + 1);
      inData = line.rfind("DATA", 0) == 0;
      say(inData ? "354 go ahead\r\n" : line.rfind("QUIT", 0) == 0 ? "221 bye\r\n" : "250 ok\r\n");
    }
    close(fd);
  }

  size_t perTick_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The data of a mail is bounded by progress, not as a whole: a slow link still takes a mail that
// needs many times the time-out, and a server that takes nothing for the time-out ends the send
// with a line that says so.
TEST(SmtpData, SendingIsBoundedByProgressNotAsAWhole) {
  const struct {
    const char* name;
    size_t bytesPerTick;
    size_t mailBytes;
    bool sent;
    const char* failure;
  } cases[] = {
      {"slow but steady", 512 * 1024, 16 << 20, true, ""},
      {"stops reading", 0, 16 << 20, false, "Connection timed out while sending the mail"},
  };
  constexpr int kTimeoutMs = 1000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSlowReader server(c.bytesPerTick);
    TVumSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = std::to_string(server.Port());
    smtp.OperationTimeout = kTimeoutMs;
    TVumMsg msg;
    msg.SetFrom("a@b.org");
    msg.SetSendTo("c@d.org");
    msg.Subject = "s";
    msg.Text() = std::vector<std::string>(c.mailBytes / 100, std::string(98, 'x'));
    msg.Compose();  // composing 16 MiB is no part of the wait measured
    ASSERT_TRUE(smtp.Connect());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(smtp.SendMessage(msg), c.sent);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(smtp.Failure(), c.failure);
    if (c.sent) {
      // The whole took longer than one time-out, so only progress can have bounded it.
      EXPECT_GT(elapsed, std::chrono::milliseconds(kTimeoutMs));
    } else {
      EXPECT_LT(elapsed, std::chrono::milliseconds(kTimeoutMs + 3000));
    }
    try {
      smtp.Disconnect();
    } catch (const std::exception&) {
    }
  }
}

TEST_F(SmtpSession, RefusedRecipientStopsTheMessage) {
  Serve({"220 ready", "250 hello", "250 sender ok", "250 ok", "550 mailbox unknown", "250 unexpected"});
  TVumMsg msg;
  msg.SetFrom("me@x.org");
  msg.SetSendTo("a@y.org,b@y.org,c@y.org");
  msg.SetCC("d@y.org");
  msg.Text() = {"hello"};
  ASSERT_TRUE(smtp.Connect());
  EXPECT_FALSE(smtp.SendMessage(msg));
  EXPECT_FALSE(smtp.IsConnected());
  EXPECT_THAT(Commands(), ElementsAre(HasSubstr("HELO "), "MAIL FROM:<me@x.org>", "RCPT TO:<a@y.org>",
                                      "RCPT TO:<b@y.org>"));
  EXPECT_EQ(log.errorSender, &smtp);
  EXPECT_EQ(log.errorCode, 550);
  EXPECT_EQ(log.errorText, "mailbox unknown");
  EXPECT_THAT(log.events, ElementsAre("lookup", "connecting", "connect", "before", "quit", "error", "after"));
  EXPECT_THAT(log.progress, ElementsAre(100));
}

TEST_F(SmtpSession, BounceEnvelope) {
  Serve(Join({"220 ready", "250 hello"}, Transaction(1)));
  ASSERT_TRUE(smtp.Connect());
  EXPECT_EQ(smtp.SendEnvelope("me@x.org", "  lost@z.org ", true, {"report"}, {"me@x.org"}), 1);
  EXPECT_THAT(Commands(),
              ElementsAre(HasSubstr("HELO "), "MAIL FROM:<>",
                          "RCPT TO:<me@x.org> NOTIFY=FAILURE ORCPT=rfc822;lost@z.org", "DATA", "RSET"));
}

TEST_F(SmtpSession, ProgressSteps) {
  struct TCase {
    size_t lines;
    uint16_t step;
    std::vector<int> expected;
  };
  const TCase cases[] = {
      {3, 10, {33, 67, 100, 100}},
      {200, 10, {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 100}},
      {8, 10, {12, 25, 38, 50, 62, 75, 88, 100, 100}},  // halves go to the even neighbour
      {2, 25, {50, 100, 100}},                          // one event per line, however far it jumped
  };
  for (const TCase& c : cases) {
    TScriptedSmtpServer server(Join({"220 ready", "250 hello"}, Transaction(1)));
    TVumSMTP smtp;
    TEventLog events;
    Aim(smtp, server, events, 2000);
    smtp.SendProgressStep = c.step;
    ASSERT_TRUE(smtp.Connect());
    EXPECT_EQ(
        smtp.SendEnvelope("me@x.org", "", false, std::vector<std::string>(c.lines, "line"), {"a@y.org"}), 1);
    EXPECT_THAT(events.progress, ElementsAreArray(c.expected)) << c.lines << " lines";
    EXPECT_EQ(smtp.Percent(), 100);
  }
}

TEST_F(SmtpSession, MessageChecksAndClosedConnection) {
  Serve({"220 ready", "250 hello", "221 bye"});
  ASSERT_TRUE(smtp.Connect());
  TVumMsg msg;
  msg.SetSendTo("a@y.org");
  msg.Text() = {"x"};
  const auto errorOf = [&] { return ErrorOf([&] { smtp.SendMessage(msg); }); };
  EXPECT_EQ(errorOf(), "\"From\" field not specified.");
  msg.SetFrom("me@x.org");
  msg.SetSendTo("");
  EXPECT_EQ(errorOf(), "\"SendTo\" field not specified.");
  smtp.Disconnect();
  EXPECT_FALSE(smtp.IsConnected());
  msg.SetSendTo("a@y.org");
  EXPECT_EQ(errorOf(), "Not connected. Attempting to send on socket.");
  EXPECT_THAT(Commands(), ElementsAre(HasSubstr("HELO "), "QUIT"));
  EXPECT_EQ(std::count(log.events.begin(), log.events.end(), "before"), 1);  // only the last one got that far
}

}  // namespace
}  // namespace tavik
