// The dialogue --test-mail shows: every logon's secrets masked whichever way the client gives
// them, the mail's own lines counted, the rest as said.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "commands/uTestMailCommand.h"

namespace tavik {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct TDialogueCase {
  const char* name;
  std::vector<std::pair<bool, std::string>> said;  // (from the client, the bytes)
  std::vector<std::string> shown;                  // lines the transcript must show
  std::vector<std::string> hidden;                 // what it must never show
};

TEST(SmtpTranscript, MasksEveryLogonAndCountsTheMail) {
  const std::vector<TDialogueCase> cases = {
      {"PLAIN with its response",
       {{false, "250 AUTH PLAIN\r\n"}, {true, "AUTH PLAIN AGJhY2t1cABwNHNz\r\n"}, {false, "235 ok\r\n"}},
       {"-> AUTH PLAIN ********", "<- 235 ok"},
       {"AGJhY2t1cABwNHNz"}},
      {"PLAIN answering the server's question",
       {{true, "AUTH PLAIN\r\n"}, {false, "334 \r\n"}, {true, "AGJhY2t1cABwNHNz\r\n"}, {false, "235 ok\r\n"}},
       {"-> AUTH PLAIN", "-> ********"},
       {"AGJhY2t1cABwNHNz"}},
      {"LOGIN",
       {{true, "AUTH LOGIN\r\n"},
        {false, "334 VXNlcm5hbWU6\r\n"},
        {true, "YmFja3Vw\r\n"},
        {false, "334 UGFzc3dvcmQ6\r\n"},
        {true, "cDRzcw==\r\n"},
        {false, "235 ok\r\n"}},
       {"-> AUTH LOGIN", "<- 334 UGFzc3dvcmQ6"},
       {"YmFja3Vw", "cDRzcw=="}},
      {"a refused logon ends the masking",
       {{true, "AUTH LOGIN\r\n"}, {false, "535 no\r\n"}, {true, "QUIT\r\n"}},
       {"<- 535 no", "-> QUIT"},
       {}},
      {"the mail's lines",
       {{true, "DATA\r\n"},
        {false, "354 go\r\n"},
        {true, "Subject: secret plans\r\n"},
        {true, "body\r\n"},
        {true, "\r\n.\r\n"},
        {false, "250 queued\r\n"}},
       {"-> DATA", "-> (2 lines of the mail)", "-> .", "<- 250 queued"},
       {"secret plans"}},
  };
  for (const TDialogueCase& c : cases) {
    std::ostringstream out;
    TSmtpTranscript transcript(out);
    for (const auto& [fromClient, text] : c.said) transcript.Heard(fromClient, text);
    for (const std::string& line : c.shown) EXPECT_THAT(out.str(), HasSubstr(line + "\n")) << c.name;
    for (const std::string& secret : c.hidden) EXPECT_THAT(out.str(), Not(HasSubstr(secret))) << c.name;
  }
}

}  // namespace
}  // namespace tavik
