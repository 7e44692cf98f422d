// Delivery end to end: a composed message with an attachment sent to a real aiosmtpd, and the bytes
// it received taken apart by Python's email package.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mail/VumMsg.h"
#include "mail/VumSMTP.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::TAioSmtpServer;
using ::testing::ElementsAre;

// Every byte value, and lines that start with a dot, which the wire must carry through.
std::string AttachmentBytes() {
  std::string data;
  for (int i = 0; i < 5000; ++i) data += static_cast<char>((i * 7 + i / 256) & 0xFF);
  data += "\r\n.\r\n..leading dots\n.";
  return data;
}

struct TSendCase {
  const char* name;
  std::optional<TAioSmtpServer::TAccount> account;
};

void PrintTo(const TSendCase& c, std::ostream* os) {
  *os << c.name;
}

class SmtpRealServer : public ::testing::TestWithParam<TSendCase> {};

TEST_P(SmtpRealServer, ComposedMessageArrivesIntact) {
  TAioSmtpServer server(GetParam().account);
  server.Start();
  test::TTempDir dir;
  const std::string attachment = AttachmentBytes();
  test::WriteFile(dir / "run log.bin", attachment);

  TVumMsg msg;
  msg.SetFrom("Backup Box <Backup@Example.ORG>");
  msg.SetSendTo("Ann <Ann@Example.org>, bob@example.org");
  msg.SetCC("Carl <carl@example.net>");
  msg.Subject = "Backup report: all volumes copied";
  msg.Text() = {"Volume C: done.", ".a line that starts with a dot", "", "End."};
  msg.Attachments().Add(dir / "run log.bin");

  TVumSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = std::to_string(server.Port());
  smtp.OperationTimeout = 10000;
  if (GetParam().account) {
    smtp.UserId = GetParam().account->user;
    smtp.UserPasswd = GetParam().account->password;
  }
  ASSERT_TRUE(smtp.Connect()) << smtp.ReplyCode() << " " << smtp.ReplyText();
  if (GetParam().account) {
    ASSERT_TRUE(smtp.Login()) << smtp.ReplyCode() << " " << smtp.ReplyText();
  }
  ASSERT_TRUE(smtp.SendMessage(msg)) << smtp.ReplyCode() << " " << smtp.ReplyText();
  smtp.Disconnect();
  EXPECT_EQ(smtp.ReplyCode(), "221");

  const std::vector<test::TReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 2u);  // once for the To list, once for the CC list
  EXPECT_EQ(mails[0].mailFrom, "Backup@Example.ORG");
  EXPECT_THAT(mails[0].rcptTos, ElementsAre("ann@example.org", "bob@example.org"));
  EXPECT_THAT(mails[1].rcptTos, ElementsAre("carl@example.net"));
  EXPECT_EQ(mails[0].raw, mails[1].raw);

  const test::TParsedMail parsed = test::ParseMailWithPython(mails[0].raw);
  EXPECT_EQ(parsed.Header("Subject"), msg.Subject);
  EXPECT_THAT(parsed.Header("From"), ::testing::HasSubstr("<Backup@Example.ORG>"));
  EXPECT_THAT(parsed.Header("To"), ::testing::HasSubstr("<Ann@Example.org>"));
  EXPECT_THAT(parsed.Header("To"), ::testing::HasSubstr("<bob@example.org>"));
  EXPECT_THAT(parsed.Header("Cc"), ::testing::HasSubstr("<carl@example.net>"));
  ASSERT_EQ(parsed.parts.size(), 2u);
  EXPECT_EQ(parsed.parts[0].contentType, "text/plain");
  // The parser hands text back with its own line ends.
  EXPECT_EQ(parsed.parts[0].payload, "Volume C: done.\n.a line that starts with a dot\n\nEnd.\n");
  EXPECT_EQ(parsed.parts[1].fileName, "run log.bin");
  EXPECT_EQ(parsed.parts[1].payload, attachment);
}

INSTANTIATE_TEST_SUITE_P(, SmtpRealServer,
                         ::testing::Values(TSendCase{"Open", std::nullopt},
                                           TSendCase{"Auth",
                                                     TAioSmtpServer::TAccount{"backup", "s3cret pass"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpRealServerAuth, WrongPasswordIsRefusedAndTheMailWithIt) {
  TAioSmtpServer server(TAioSmtpServer::TAccount{"backup", "right"});
  server.Start();
  TVumSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = std::to_string(server.Port());
  smtp.OperationTimeout = 10000;
  smtp.UserId = "backup";
  smtp.UserPasswd = "wrong";
  ASSERT_TRUE(smtp.Connect());
  EXPECT_TRUE(smtp.AuthLoginOffered());
  EXPECT_TRUE(smtp.AuthPlainOffered());
  EXPECT_FALSE(smtp.Login());
  EXPECT_EQ(smtp.ReplyCode(), "535");
  EXPECT_TRUE(smtp.IsConnected());

  TVumMsg msg;
  msg.SetFrom("backup@example.org");
  msg.SetSendTo("ann@example.org");
  msg.Text() = {"not to be delivered"};
  EXPECT_FALSE(smtp.SendMessage(msg));
  EXPECT_EQ(smtp.ReplyCode(), "530");
  EXPECT_FALSE(smtp.IsConnected());
  EXPECT_TRUE(server.Messages().empty());
}

}  // namespace
}  // namespace tavik
