#pragma once
// "--test-mail": the test mail through the configured server, with the dialogue on standard error
// as a person may read it.
#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "commands/uCommand.h"

namespace tavik {

int TestMailCommand(const std::vector<std::string>& args, TCommandStreams io);

// An SMTP dialogue as a person may read it: each line prefixed with "<- " (the server) or "-> " (this
// program), the logon's secrets replaced by "********" and the mail's own lines by one line counting them.
class TSmtpTranscript {
 public:
  explicit TSmtpTranscript(std::ostream& out) : out_(out) {}
  void Heard(bool fromClient, const std::string& text);

 private:
  std::ostream& out_;
  bool inLogon_ = false;  // between AUTH and the server's last question: client lines are secrets
  bool inData_ = false;   // between the server's 354 and the end of the data
  bool awaitingData_ = false;
  size_t dataLines_ = 0;
};

}  // namespace tavik
