#include "commands/uTestMailCommand.h"

#include <cctype>
#include <ostream>

#include "QorvLib/uQorvFiles.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "notify/uTestMail.h"

namespace tavik {

int TestMailCommand(const std::vector<std::string>& args, TCommandStreams io) {
  if (args.size() > 1) return Refuse(io, "--test-mail takes at most one address");
  if (!args.empty() && !IsMailAddress(args[0])) return Refuse(io, Quoted(args[0]) + " is not a mail address");
  if (const std::string problem = SettingsFileProblem(); !problem.empty()) return Fail(io, problem);
  TNotifier n;
  LoadSettings(n);
  const std::string to = args.empty() ? n.ErrorEmails : args[0];
  if (Trim(to).empty()) return Fail(io, "no recipient: give an address or set ErrorEmails");
  if (Trim(n.SMTPServer).empty()) return Fail(io, "no mail server: set SMTPServer");
  TSmtpTranscript transcript(io.err);
  SetNotifierSmtpListener(
      [&](bool fromClient, const std::string& text) { transcript.Heard(fromClient, text); });
  std::string reason;
  const bool sent = SendTestMessage(n, to, reason);
  SetNotifierSmtpListener({});
  if (!sent) return Fail(io, "test mail not sent: " + reason);
  io.out << "Test mail sent to " << to << "\n";
  return ExitOk;
}

void TSmtpTranscript::Heard(bool fromClient, const std::string& text) {
  if (fromClient && inData_) {
    // The mail's own lines are the message, not the dialogue: counted, and the end shown.
    if (text == "\r\n.\r\n") {
      out_ << "-> (" << dataLines_ << " lines of the mail)\n-> .\n";
      inData_ = false;
    } else {
      ++dataLines_;
    }
    return;
  }
  size_t p = 0;
  while (p < text.size()) {
    size_t end = text.find('\n', p);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(p, end - p);
    p = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (fromClient) {
      std::string upper = line;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (inLogon_) {
        line = "********";
      } else if (upper.rfind("AUTH ", 0) == 0) {
        // Whatever the mechanism, its initial response and every answer to the server's
        // questions carry the account.
        inLogon_ = true;
        const size_t mechanismEnd = line.find(' ', 5);
        if (mechanismEnd != std::string::npos) line = line.substr(0, mechanismEnd) + " ********";
      }
      awaitingData_ = upper == "DATA";
      out_ << "-> " << line << "\n";
    } else {
      // Only a question of the server is answered by a secret; anything else ends the exchange.
      if (line.rfind("334", 0) != 0) inLogon_ = false;
      if (awaitingData_ && line.rfind("354", 0) == 0) {
        inData_ = true;
        dataLines_ = 0;
      }
      out_ << "<- " << line << "\n";
    }
  }
  out_.flush();
}

}  // namespace tavik
