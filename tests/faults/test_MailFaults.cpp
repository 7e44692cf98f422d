// A mail server that fails an unattended run's report: it drops the connection during DATA,
// answers garbage, or answers one byte a second. The backup itself is done and kept, the failure
// is an error line in the window and the run log, and the run ends by itself.
#include "tests/faults/FaultRun.h"

namespace tavik::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct TServerFault {
  const char* name;
  std::vector<TSmtpReply> script;
  int pieceGapMs;
  const char* reason;  // in the error line
};

void PrintTo(const TServerFault& c, std::ostream* os) {
  *os << c.name;
}

class MailFaults : public FaultRunTest, public ::testing::WithParamInterface<TServerFault> {};

TEST_P(MailFaults, TheReportFailsAndTheRunEnds) {
  const TServerFault& c = GetParam();
  TScriptedSmtpServer server(c.script, c.pieceGapMs);
  server.Start();
  SaveMailSettings(server.Port());
  SetNotifierSmtpTimeout(1500);

  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_EQ(r.closeRequests, 1);
  EXPECT_TRUE(r.hadErrors);
  EXPECT_EQ(DestinationNames(), (std::set<std::string>{"C_new.spf", "C_new_i1.spi"}));
  EXPECT_EQ(ReadFile(dst + "/C_new.spf"), image);
  EXPECT_THAT(r.ErrorLines(), ElementsAre(HasSubstr(c.reason)));
  // The log keeps the failure too, for the next mail that does go out.
  EXPECT_THAT(ReadFile(logPath), HasSubstr(r.ErrorLines().at(0)));
  EXPECT_EQ(server.Connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Server, MailFaults,
    ::testing::Values(
        // The mail leaves in one write the system takes; the reset (or the close) shows at the wait.
        TServerFault{"DropsDuringData",
                     {"220 ready", "250 hello", "250 sender ok", "250 recipient ok",
                      TSmtpReply("354 go ahead").ThenClose()},
                     40,
                     " while waiting for the reply to the end of the data"},
        TServerFault{
            "AnswersGarbage",
            {TSmtpReply::Raw(std::string("\xff\xfe\x01 no code here\r\n", 18)), TSmtpReply::Raw("%%%%\r\n")},
            40,
            "Failed to connect to host 127.0.0.1"},
        // A refusal is no fault of the run, but the mail it cost is still worth a line.
        TServerFault{"RefusesTheRecipient",
                     {"220 ready", "250 hello", "250 sender ok", "550 no such user", "221 bye"},
                     40,
                     "Mail \"[S01:Office] Backup Completed. Time to change disk.\" not sent: Failed to send "
                     "message: 550 no "
                     "such user"},
        TServerFault{"AnswersOneByteASecond",
                     {TSmtpReply::Pieces({"2", "2", "0", "\r", "\n"})},
                     1000,
                     "Failed to connect to host 127.0.0.1"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavik::test
