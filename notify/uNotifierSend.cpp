// Sending the mail in hand: one message, one client, one connection per send.
#include <atomic>
#include <string>
#include <vector>

#include "QorvLib/uQorvFiles.h"
#include "mail/VumMsg.h"
#include "mail/VumSMTP.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"

namespace tavik {

namespace {

std::atomic<int32_t> smtpTimeoutMs{30000};

// The body's lines: CR LF, CR and LF each end one; a break at the very end adds no empty line.
std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t p = 0;
  while (p < text.size()) {
    const size_t end = text.find_first_of("\r\n", p);
    if (end == std::string::npos) {
      lines.push_back(text.substr(p));
      break;
    }
    lines.push_back(text.substr(p, end - p));
    p = end + 1;
    if (text[end] == '\r' && p < text.size() && text[p] == '\n') ++p;
  }
  return lines;
}

void Prepare(const TNotifier& n, TVumSMTP& smtp, TVumMsg& msg) {
  smtp.Host = n.SMTPServer;
  smtp.Port = std::to_string(n.SMTPPort);
  smtp.OperationTimeout = smtpTimeoutMs.load();
  if (n.SMTPRequiresLogon) {
    smtp.UserId = n.SMTPLogon;
    smtp.UserPasswd = n.SMTPPwd;
  }
  for (const TRecipient& r : Recipients(n.SendTo)) msg.SendToList().AddAddress(r.address, r.name);
  msg.SetReplyTo(n.SMTPFrom);
  msg.SetHTML(TextLines(n.Body));
  msg.Subject = n.Subject;
  msg.SetFrom(n.SMTPFrom);
}

// The conversation. With boxes (the settings dialog's test button) every failure shows a warning
// and ends the send; without them a failure is left in LastError and the send goes on, so the
// client's own error for the closed connection is what reaches the caller.
bool Deliver(TNotifier& n, TVumSMTP& smtp, TVumMsg& msg, bool boxes) {
  auto report = [&](const std::string& failure) {
    n.LastError = failure;
    if (boxes) WarnAndAbort(n.LastError);
  };
  if (!smtp.Connect()) report("Failed to connect to host " + smtp.Host + " on port " + smtp.Port);
  if (n.SMTPRequiresLogon && !smtp.Login()) {
    smtp.Disconnect();
    report("Authentication failed... disconnecting");
  }
  const bool sent = smtp.SendMessage(msg);
  if (!sent)
    report("Failed to send message");
  else if (boxes)
    ShowInfo("Message sent.");
  smtp.Disconnect();
  return sent;
}

}  // namespace

std::vector<std::string> RecipientEntries(const std::string& list) {
  std::vector<std::string> entries;
  for (const std::string& raw : SplitList(list)) {
    std::string entry = Trim(raw);
    // A stray comma in the settings must not offer the server an empty recipient: its refusal
    // would cost the mail to everyone else on the list.
    if (!entry.empty()) entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<TRecipient> Recipients(const std::string& list) {
  std::vector<TRecipient> result;
  bool previousIsName = false;
  for (const std::string& entry : RecipientEntries(list)) {
    const bool bracketed = entry.size() > 2 && entry.front() == '<' && entry.back() == '>' &&
                           entry.find_first_of("<>", 1) == entry.size() - 1;
    if (!bracketed) {
      result.push_back({entry, entry});
      previousIsName = entry.find('@') == std::string::npos;
      continue;
    }
    const std::string address = Trim(entry.substr(1, entry.size() - 2));
    if (address.empty()) {
      // "< >" names nobody; offered to the server it would be refused like an empty entry.
      previousIsName = false;
      continue;
    }
    if (previousIsName) {
      result.back() = {address, result.back().name};
    } else {
      result.push_back({address, address});
    }
    previousIsName = false;
  }
  return result;
}

int32_t NotifierSmtpTimeout() {
  return smtpTimeoutMs.load();
}

void SetNotifierSmtpTimeout(int32_t ms) {
  smtpTimeoutMs.store(ms);
}

bool TNotifier::SendMail(const std::string& attachmentPath) {
  LastError.clear();
  TVumSMTP smtp;
  TVumMsg msg;
  Prepare(*this, smtp, msg);
  if (!attachmentPath.empty()) msg.Attachments().Add(attachmentPath);
  return Deliver(*this, smtp, msg, false);
}

bool TNotifier::SendTestMail(bool silent) {
  LastError.clear();
  TVumSMTP smtp;
  TVumMsg msg;
  Prepare(*this, smtp, msg);
  return Deliver(*this, smtp, msg, !silent);
}

}  // namespace tavik
