// The notifier's sends: recipients split from SendTo, the account handed to the client, the
// outcome table of both operations, and one delivery to a real server read back by Python.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "platform/uErrors.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::TAioSmtpServer;
using test::TScriptedSmtpServer;
using test::TScriptedUi;
using test::TSmtpReply;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

// The message of the error f raises; "silent abort" for the abort after a warning box.
template <class F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const ESilentAbort& e) {
    return e.what();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

// A server that takes every command of one mail to n recipients.
std::vector<TSmtpReply> AcceptingScript(size_t recipients) {
  std::vector<TSmtpReply> s = {"220 ready", "250 hello", "250 sender ok"};
  for (size_t i = 0; i < recipients; ++i) s.emplace_back("250 recipient ok");
  for (const char* r : {"354 go on", "250 queued", "250 reset", "221 bye"}) s.emplace_back(r);
  return s;
}

// A port that was just free, so nothing listens there.
int ClosedPort() {
  TScriptedSmtpServer probe({});
  probe.Start();
  return probe.Port();
}

TNotifier Account(int port) {
  TNotifier n;
  n.SMTPServer = "127.0.0.1";
  n.SMTPPort = port;
  n.SMTPFrom = "backup@example.org";
  n.SendTo = "ops@example.org";
  n.Subject = "[S01:Office] Backup Log";
  n.Body = "Please see attached backup log.";
  return n;
}

// Recipients as people write them, against what the server recorded for each envelope.
struct TRecipientCase {
  const char* sendTo;
  std::vector<std::string> envelope;  // RCPT TO, in order (lower case, as the client offers them)
  std::vector<std::string> names;     // display names Python reads from To
  std::vector<std::string> rejected;  // words never offered to the server
};

TEST(NotifierSend, RecipientsAsPeopleWriteThem) {
  const TRecipientCase cases[] = {
      {"Ann Smith <ann@x.org>, bob@y.org", {"ann@x.org", "bob@y.org"}, {"Ann Smith", "bob@y.org"}, {}},
      {"a@x.org; b@y.org", {"a@x.org", "b@y.org"}, {"a@x.org", "b@y.org"}, {}},
      {"\"Smith, Ann\" <ann@x.org>; <bob@y.org>",
       {"ann@x.org", "bob@y.org"},
       {"Smith, Ann", "bob@y.org"},
       {}},
      {"J\xC3\xBCrgen Gro\xC3\x9F <jg@x.org>", {"jg@x.org"}, {"J\xC3\xBCrgen Gro\xC3\x9F"}, {}},
      {"\"\xE6\x9D\xB1\xE4\xBA\xAC \xE6\x94\xAF\xE5\xBA\x97\" <tokyo@x.org>",
       {"tokyo@x.org"},
       {"\xE6\x9D\xB1\xE4\xBA\xAC \xE6\x94\xAF\xE5\xBA\x97"},
       {}},
      {"ann@x.org bob@y.org", {"ann@x.org", "bob@y.org"}, {"ann@x.org", "bob@y.org"}, {}},
      {"  Ops@Example.org\t,\r\nbob@y.org,",
       {"ops@example.org", "bob@y.org"},
       {"Ops@Example.org", "bob@y.org"},
       {}},
      {",ann@x.org,, ;;bob@y.org;", {"ann@x.org", "bob@y.org"}, {"ann@x.org", "bob@y.org"}, {}},
      {"ann@x.org, bob, @x.org, carl@, <dora>, carl@z.org",
       {"ann@x.org", "carl@z.org"},
       {"ann@x.org", "carl@z.org"},
       {"bob", "@x.org", "carl@", "dora"}},
      {"\"Ann Smith\" ann@x.org", {"ann@x.org"}, {"ann@x.org"}, {"Ann Smith"}},
      // Whatever follows "Name <addr>" without a separator is delivered to or named.
      {"Ann <ann@x.org> carl@z.org", {"ann@x.org", "carl@z.org"}, {"Ann", "carl@z.org"}, {}},
      {"Ann <ann@x.org> Bob <bob@y.org>, dora@w.org",
       {"ann@x.org", "bob@y.org", "dora@w.org"},
       {"Ann", "Bob", "dora@w.org"},
       {}},
      {"Ann <ann@x.org> Bob", {"ann@x.org"}, {"Ann"}, {"Bob"}},
      {"Ann <ann@x.org> <carl@>", {"ann@x.org"}, {"Ann"}, {"carl@"}},
  };
  TAioSmtpServer server;
  server.Start();
  for (const TRecipientCase& c : cases) {
    SCOPED_TRACE(c.sendTo);
    std::vector<std::string> rejected;
    Recipients(c.sendTo, &rejected);
    EXPECT_EQ(rejected, c.rejected);
    TNotifier n = Account(server.Port());
    n.SendTo = c.sendTo;
    EXPECT_TRUE(n.SendMail("")) << n.LastError;
    EXPECT_EQ(n.SendTo, c.sendTo);  // the caller's fields stay as they were
  }
  const std::vector<test::TReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), std::size(cases));
  for (size_t i = 0; i < mails.size(); ++i) {
    SCOPED_TRACE(cases[i].sendTo);
    EXPECT_EQ(mails[i].rcptTos, cases[i].envelope);
    const test::TParsedMail parsed = test::ParseMailWithPython(mails[i].raw);
    EXPECT_EQ(parsed.defects, 0) << parsed.defectText;
    EXPECT_EQ(parsed.ToNames, cases[i].names);
  }
}

TEST(NotifierSend, RecipientEntriesEndAtCommasAndSemicolons) {
  EXPECT_THAT(RecipientEntries("a@x, \"  b; c  \" ,,d@y;e@z,"),
              ElementsAre("a@x", "\"  b; c  \"", "d@y", "e@z"));
  EXPECT_THAT(RecipientEntries(" , ;,\"\""), IsEmpty());
}

TEST(NotifierSend, AListWithoutRecipientsIsRefusedBeforeAnyEnvelope) {
  for (const char* sendTo : {"", ",", " , ,"}) {
    TScriptedSmtpServer server({"220 ready", "250 hello", "221 bye"});
    server.Start();
    TNotifier n = Account(server.Port());
    n.SendTo = sendTo;
    EXPECT_EQ(ErrorOf([&] { n.SendMail(""); }), "\"SendTo\" field not specified.") << sendTo;
    EXPECT_THAT(server.Commands(), Not(Contains(StartsWith("MAIL")))) << sendTo;
  }
}

TEST(NotifierSend, LogonReachesTheServerOnlyWhenSwitchedOn) {
  // Switched off: the stored account stays home, the client greets with HELO and never logs on.
  {
    TScriptedSmtpServer server(AcceptingScript(1));
    server.Start();
    TNotifier n = Account(server.Port());
    n.SMTPLogon = "user";
    n.SMTPPwd = "secret";
    EXPECT_TRUE(n.SendMail(""));
    const auto commands = server.Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_THAT(commands[0], StartsWith("HELO "));
    EXPECT_THAT(commands, Not(Contains(StartsWith("AUTH"))));
  }
  // Switched on: the real server insists on the account and takes the mail.
  TAioSmtpServer server(TAioSmtpServer::TAccount{"user", "secret"});
  server.Start();
  TNotifier n = Account(server.Port());
  n.SMTPRequiresLogon = true;
  n.SMTPLogon = "user";
  n.SMTPPwd = "secret";
  EXPECT_TRUE(n.SendMail("")) << n.LastError;
  EXPECT_EQ(server.Messages().size(), 1u);
}

// How each kind of failure ends both operations.
struct TOutcomeCase {
  const char* name;
  std::vector<TSmtpReply> script;  // empty: nothing listens
  bool logon;
  const char* lastError;
  const char* mailError;  // what SendMail raises; "no error" when it returns
  bool mailResult;
  std::vector<std::pair<std::string, std::string>> boxes;  // of SendTestMail(false)
};

TEST(NotifierSend, OutcomesOfBothOperations) {
  SetNotifierSmtpTimeout(300);
  const std::string noAuth[] = {"220 ready", "250 hello, no AUTH offered"};
  const TOutcomeCase cases[] = {
      // Each failure ends the send at once and says why: the system's reason or the server's
      // own reply, never the client's complaint about the connection it closed itself.
      {"unreachable",
       {},
       false,
       "Failed to connect to host 127.0.0.1 on port %d",
       "Connection refused",
       false,
       {{"warning", "Failed to connect to host 127.0.0.1 on port %d: Connection refused."}}},
      {"unreachable with logon",
       {},
       true,
       "Failed to connect to host 127.0.0.1 on port %d",
       "Connection refused",
       false,
       {{"warning", "Failed to connect to host 127.0.0.1 on port %d: Connection refused."}}},
      {"no logon offered",
       {noAuth[0], noAuth[1], "221 bye"},
       true,
       "Authentication failed",
       "the server offers no logon (AUTH LOGIN or PLAIN)",
       false,
       {{"warning", "Authentication failed: the server offers no logon (AUTH LOGIN or PLAIN)."}}},
      {"logon refused",
       {"220 ready", TSmtpReply::Raw("250-hello\r\n250 AUTH PLAIN\r\n"), "535 5.7.8 authentication failed",
        "221 bye"},
       true,
       "Authentication failed",
       "535 5.7.8 authentication failed",
       false,
       {{"warning", "Authentication failed: 535 5.7.8 authentication failed."}}},
      {"mail refused",
       {"220 ready", "250 hello", "250 sender ok", "550 no such user", "221 bye"},
       false,
       "Failed to send message: 550 no such user",
       "no error",
       false,
       {{"warning", "Failed to send message: 550 no such user."}}},
      {"refused at the end of the data",
       {"220 ready", "250 hello", "250 sender ok", "250 recipient ok", "354 go on", "554 5.7.1 rejected",
        "221 bye"},
       false,
       "Failed to send message: 554 5.7.1 rejected",
       "no error",
       false,
       {{"warning", "Failed to send message: 554 5.7.1 rejected."}}},
      {"no reply to DATA",
       {"220 ready", "250 hello", "250 sender ok", "250 recipient ok", TSmtpReply::Silence()},
       false,
       "Failed to send message: timed out waiting for the reply to DATA",
       "no error",
       false,
       {{"warning", "Failed to send message: timed out waiting for the reply to DATA."}}},
      {"accepted", AcceptingScript(1), false, "", "no error", true, {{"info", "Message sent."}}},
  };
  auto fill = [](std::string text, int port) {
    const size_t at = text.find("%d");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(port));
    return text;
  };
  for (const TOutcomeCase& c : cases) {
    for (const char* op : {"SendMail", "SendTestMail(true)", "SendTestMail(false)"}) {
      SCOPED_TRACE(std::string(c.name) + " / " + op);
      std::unique_ptr<TScriptedSmtpServer> server;
      int port = 0;
      if (c.script.empty()) {
        port = ClosedPort();
      } else {
        // One conversation per server: a second one would read on in the shared script.
        server = std::make_unique<TScriptedSmtpServer>(c.script);
        server->Start();
        port = server->Port();
      }
      TScriptedUi ui;
      TNotifier n = Account(port);
      n.LastError = "left over from an earlier send";
      n.SMTPRequiresLogon = c.logon;
      n.SMTPLogon = "user";
      n.SMTPPwd = "secret";
      bool result = false;
      const std::string op_ = op;
      const std::string error = ErrorOf([&] {
        if (op_ == "SendMail") result = n.SendMail("");
        if (op_ == "SendTestMail(true)") result = n.SendTestMail(true);
        if (op_ == "SendTestMail(false)") result = n.SendTestMail(false);
      });
      EXPECT_EQ(n.LastError, fill(c.lastError, port));
      if (op_ == "SendTestMail(false)") {
        std::vector<std::pair<std::string, std::string>> boxes;
        for (const auto& a : ui.asked) boxes.emplace_back(a.kind, a.text);
        std::vector<std::pair<std::string, std::string>> want;
        for (const auto& [kind, text] : c.boxes) want.emplace_back(kind, fill(text, port));
        EXPECT_EQ(boxes, want);
        EXPECT_EQ(error, c.mailResult ? "no error" : "silent abort");
      } else {
        // Silent, the test mail is the run's mail without attachment.
        EXPECT_THAT(ui.asked, IsEmpty());
        EXPECT_EQ(error, c.mailError);
      }
      if (error == "no error") {
        EXPECT_EQ(result, c.mailResult);
        if (!server) continue;
        // A refusal fails the session, which closes the connection at once; a delivery says QUIT.
        if (c.mailResult) {
          EXPECT_EQ(server->Commands().back(), "QUIT");
        }
      }
    }
  }
}

// A mail counts as sent exactly when the server accepted it at the end of its data.
TEST(NotifierSend, DeliveredIsWhatTheEndOfDataSays) {
  const std::vector<TSmtpReply> upToData = {"220 ready", "250 hello", "250 sender ok", "250 recipient ok"};
  auto script = [&](std::vector<TSmtpReply> rest, size_t keep = 4) {
    std::vector<TSmtpReply> s(upToData.begin(), upToData.begin() + static_cast<long>(keep));
    s.insert(s.end(), rest.begin(), rest.end());
    return s;
  };
  const struct {
    const char* name;
    std::vector<TSmtpReply> script;
    bool sent;
    const char* error = "";
  } cases[] = {
      {"refused at MAIL FROM", script({"553 sender refused", "221 bye"}, 2), false,
       "Failed to send message: 553 sender refused"},
      {"refused at RCPT", script({"550 no such user", "221 bye"}, 3), false,
       "Failed to send message: 550 no such user"},
      {"refused at DATA", script({"554 no valid recipients", "221 bye"}), false,
       "Failed to send message: 554 no valid recipients"},
      {"refused at the end of the data", script({"354 go on", "554 rejected by content filter", "221 bye"}),
       false, "Failed to send message: 554 rejected by content filter"},
      {"closed at the end of the data", script({"354 go on", TSmtpReply("221 bye").ThenClose()}), false,
       "Failed to send message: 221 bye"},
      {"QUIT unanswered after 250", script({"354 go on", "250 queued", "250 reset", TSmtpReply::Silence()}),
       true},
      {"RSET refused after 250", script({"354 go on", "250 queued", "502 no RSET here", "221 bye"}), true},
      {"RSET unanswered after 250", script({"354 go on", "250 queued", TSmtpReply::Silence()}), true},
  };
  SetNotifierSmtpTimeout(300);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedSmtpServer server(c.script);
    server.Start();
    TNotifier n = Account(server.Port());
    bool sent = !c.sent;
    EXPECT_EQ(ErrorOf([&] { sent = n.SendMail(""); }), "no error");
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(n.LastError, c.error);
  }
  SetNotifierSmtpTimeout(30000);
}

TEST(NotifierSend, SilentServerEndsTheSendWithinTheTimeOut) {
  SetNotifierSmtpTimeout(300);
  for (auto script :
       {std::vector<TSmtpReply>{TSmtpReply::Silence()},
        std::vector<TSmtpReply>{"220 ready", "250 hello", "250 sender ok", TSmtpReply::Silence()}}) {
    TScriptedSmtpServer server(script);
    server.Start();
    TNotifier n = Account(server.Port());
    // Unanswered greeting: the server is not reached, and says so; unanswered RCPT: the mail fails.
    EXPECT_THAT(
        ErrorOf([&] { n.SendMail(""); }) + " / " + n.LastError,
        AnyOf("timed out waiting for the reply to the greeting / Failed to connect to host 127.0.0.1 on "
              "port " +
                  std::to_string(server.Port()),
              "no error / Failed to send message: timed out waiting for the reply to RCPT TO"));
  }
  SetNotifierSmtpTimeout(30000);
  EXPECT_EQ(NotifierSmtpTimeout(), 30000);
}

// A mail whose attachment cannot be prepared goes without it and says why.
TEST(NotifierSend, UnpreparedAttachmentLeavesTheMailWithoutIt) {
  TAioSmtpServer server;
  server.Start();
  test::TTempDir dir;
  TNotifier n = Account(server.Port());
  n.Body = "Please see attached backup log.";
  EXPECT_TRUE(n.SendMail(dir / "no such.log")) << n.LastError;
  const auto mails = server.Messages();
  ASSERT_EQ(mails.size(), 1u);
  const test::TParsedMail parsed = test::ParseMailWithPython(mails[0].raw);
  for (const auto& part : parsed.parts) EXPECT_EQ(part.fileName, "");
  ASSERT_EQ(parsed.parts.size(), 2u);
  EXPECT_THAT(parsed.parts[1].payload,
              AllOf(StartsWith("The file no such.log could not be attached: Cannot open "),
                    HasSubstr("Please see attached backup log.")));
}

TEST(NotifierSend, DeliveredMailCarriesTheNotifiersFieldsAndAttachment) {
  TAioSmtpServer server;
  server.Start();
  test::TTempDir dir;
  const std::string log = "[01/06/26 09:30:00.000]\t1\tStart: 01/06/2026 09:30\r\nline two\r\n";
  test::WriteFile(dir / "run.log", log);
  TNotifier n = Account(server.Port());
  n.SendTo = "Ops@Example.org, boss@example.org,";
  n.Body = "first line<br />\r\nsecond line";
  ASSERT_TRUE(n.SendMail(dir / "run.log")) << n.LastError;

  const auto mails = server.Messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].mailFrom, "backup@example.org");
  EXPECT_THAT(mails[0].rcptTos, ElementsAre("ops@example.org", "boss@example.org"));
  const test::TParsedMail parsed = test::ParseMailWithPython(mails[0].raw);
  EXPECT_EQ(parsed.Header("Subject"), "[S01:Office] Backup Log");
  EXPECT_THAT(parsed.Header("From"), HasSubstr("<backup@example.org>"));
  EXPECT_THAT(parsed.Header("Reply-To"), HasSubstr("<backup@example.org>"));
  // Each entry serves as its own display name.
  EXPECT_THAT(parsed.Header("To"), AllOf(HasSubstr("\"Ops@Example.org\" <Ops@Example.org>"),
                                         HasSubstr("\"boss@example.org\" <boss@example.org>")));
  EXPECT_EQ(parsed.Header("Cc"), "");
  // The plain-text alternative says what the HTML lines say; the log rides along.
  ASSERT_EQ(parsed.parts.size(), 3u);
  EXPECT_EQ(parsed.parts[0].contentType, "text/plain");
  EXPECT_EQ(parsed.parts[0].payload, "first line\nsecond line\n");
  EXPECT_EQ(parsed.parts[1].contentType, "text/html");
  EXPECT_EQ(parsed.parts[1].charset, "utf-8");
  EXPECT_EQ(parsed.parts[1].payload, "first line<br />\nsecond line\n");  // line ends as Python reads them
  EXPECT_EQ(parsed.parts[2].fileName, "run.log");
  EXPECT_EQ(parsed.parts[2].contentType, "text/plain");
  EXPECT_EQ(parsed.parts[2].charset, "utf-8");
  EXPECT_EQ(parsed.defects, 0) << parsed.defectText;
  EXPECT_EQ(parsed.parts[2].payload, log);
}

}  // namespace
}  // namespace tavik

namespace tavik {
namespace {

// The text alternative reads as the HTML renders: breaks, rows and cells, entities.
TEST(HtmlToPlainText, ReadsAsTheHtmlRenders) {
  const struct {
    const char* html;
    const char* text;
  } cases[] = {
      {"first line<br />\r\nsecond line", "first line\nsecond line"},
      {"a<br /><br />b<br>c<BR/>", "a\n\nb\nc\n"},
      {"R&amp;D &lt;b&gt; &quot;x&quot; &#39;y&#39; B&#xFC;ro &#26481;",
       "R&D <b> \"x\" 'y' B\xC3\xBCro \xE6\x9D\xB1"},
      {"keep &unknown; and & alone", "keep &unknown; and & alone"},
      {"<b>bold</b> and <a href=\"x\">link</a>", "bold and link"},
      {"<table><tr><th>Volume</th><th>Size</th></tr>\r\n<tr><td>C</td><td>12 GB</td></tr></table>after",
       "Volume | Size\nC | 12 GB\n\nafter"},
      {"<p>one</p><p>two</p>", "one\ntwo\n"},
      {"cut <b", "cut <b"},
  };
  for (const auto& c : cases) EXPECT_EQ(HtmlToPlainText(c.html), c.text) << c.html;
}

}  // namespace
}  // namespace tavik
