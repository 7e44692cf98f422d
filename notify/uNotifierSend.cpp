// Sending the mail in hand: one message, one client, one connection per send.
#include <atomic>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "QorvLib/uQorvFiles.h"
#include "mail/VumMsg.h"
#include "mail/VumSMTP.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "platform/uErrors.h"
#include "platform/uSystem.h"
#include "platform/uTls.h"

namespace tavik {

namespace {

std::atomic<int32_t> smtpTimeoutMs{30000};
TSmtpListener smtpListener;

// Where the address in angle brackets begins; a "<" inside a quoted name is part of the name.
size_t UnquotedAngle(const std::string& entry) {
  bool quoted = false;
  for (size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] == '"') quoted = !quoted;
    if (!quoted && entry[i] == '<') return i;
  }
  return std::string::npos;
}

std::string RemoveQuotes(const std::string& text) {
  std::string r;
  for (char c : text)
    if (c != '"') r += c;
  return r;
}

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
  smtp.Security = n.SMTPSecurity == 1 ? ssStartTls : n.SMTPSecurity == 2 ? ssImplicitTls : ssNone;
  smtp.CAFile = n.SMTPCAFile;
  smtp.Fingerprint = n.SMTPFingerprint;
  if (smtpListener) {
    smtp.OnSendTextToSocket = [](void*, const std::string& s) { smtpListener(true, s); };
    smtp.OnReceiveTextFromSocket = [](void*, const std::string& s) { smtpListener(false, s); };
  }
  if (n.SMTPRequiresLogon) {
    smtp.UserId = n.SMTPLogon;
    smtp.UserPasswd = n.SMTPPwd;
  }
  for (const TRecipient& r : Recipients(n.SendTo)) msg.SendToList().AddAddress(r.address, r.name);
  // The program's text is UTF-8 on this platform, and a mail must name the charset its bytes are in.
  msg.CharSet = "utf-8";
  msg.SetReplyTo(n.SMTPFrom);
  msg.SetHTML(TextLines(n.Body));
  // A text-only reader reads the same mail.
  msg.Text() = TextLines(HtmlToPlainText(n.Body));
  msg.Subject = n.Subject;
  msg.SetFrom(n.SMTPFrom);
}

// A file that cannot be read or encoded (the temporary folder full, the file gone) costs the
// mail its attachment, not the mail itself: it goes without, and its body says why.
void Attach(TVumMsg& msg, const std::string& path) {
  TAttachedFile& item = msg.Attachments().Add(path);
  // The run log is UTF-8 text like everything else the program writes.
  if (item.ContentType.rfind("text/", 0) == 0 && item.ContentType.find(';') == std::string::npos)
    item.ContentType += "; charset=utf-8";
  try {
    item.Encode();
  } catch (const std::exception& e) {
    const std::string note =
        "The file " + HtmlText(item.Name) + " could not be attached: " + HtmlText(e.what()) + "<br /><br />";
    msg.Attachments().Clear();
    msg.HTML().insert(msg.HTML().begin(), note);
    const std::vector<std::string> noteText = TextLines(HtmlToPlainText(note));
    msg.Text().insert(msg.Text().begin(), noteText.begin(), noteText.end());
  }
}

// The conversation, ended at the first failure. With boxes (the settings dialog's test button) a
// failure shows a warning with what failed and why. Without them a refused mail is left in
// LastError ("Failed to send message: <the server's reply>") and the send answers false; a server
// that could not be reached or refused the logon leaves what failed in LastError and raises why
// (the system's reason, the server's reply), so the caller stops sending to it.
bool Deliver(TNotifier& n, TVumSMTP& smtp, TVumMsg& msg, bool boxes) {
  auto report = [&](const std::string& failure) {
    n.LastError = failure;
    if (boxes) WarnAndAbort(n.LastError);
  };
  auto unreached = [&](const std::string& what, std::string reason) {
    if (reason.empty()) reason = "no reason given";
    n.LastError = what;
    if (boxes) WarnAndAbort(what + ": " + reason);
    throw EQorvError(reason);
  };
  auto quit = [&] {
    try {
      smtp.Disconnect();
    } catch (const std::exception&) {
      // The connection is closed either way; the failure already reported is what counts.
    }
  };
  // Settings that could be meant to protect the logon never send it in plain.
  if (const std::string problem = MailSettingsProblem(n); !problem.empty()) {
    report(problem);
    return false;
  }
  // A CA file that cannot serve is found before anything reaches the server.
  if (n.SMTPFingerprint.empty())
    if (const std::string problem = CaFileProblem(n.SMTPCAFile); !problem.empty()) {
      report(problem);
      return false;
    }
  // A connection that could not be secured says why: a wrong certificate is the administrator's to mend.
  if (!smtp.Connect()) {
    quit();
    unreached("Failed to connect to host " + smtp.Host + " on port " + smtp.Port,
              smtp.TlsError().empty() ? smtp.Failure() : smtp.TlsError());
  }
  if (n.SMTPRequiresLogon) {
    bool in = false;
    try {
      in = smtp.Login();
    } catch (const std::exception&) {
    }
    if (!in) {
      const std::string reason =
          smtp.Failure().empty() && !smtp.AuthLoginOffered() && !smtp.AuthPlainOffered()
              ? "the server offers no logon (AUTH LOGIN or PLAIN)"
              : smtp.Failure();
      quit();
      unreached("Authentication failed", reason);
    }
  }
  bool sent = false;
  try {
    sent = smtp.SendMessage(msg);
  } catch (const std::exception&) {
    // A mail the client refuses to send (no sender, no recipient) is the caller's error, not the server's.
    if (smtp.Failure().empty()) {
      quit();
      throw;
    }
  }
  if (!sent) {
    quit();
    const std::string reason = smtp.Failure();
    report(reason.empty() ? "Failed to send message" : "Failed to send message: " + reason);
    return false;
  }
  if (boxes) ShowInfo("Message sent.");
  // The server took the mail at the end of its data: a QUIT it leaves unanswered changes nothing.
  quit();
  return true;
}

}  // namespace

std::vector<std::string> RecipientEntries(const std::string& list) {
  std::vector<std::string> entries;
  std::string entry;
  bool quoted = false;
  auto end = [&] {
    // A quoted part that holds nothing but blanks names nobody either.
    if (!Trim(RemoveQuotes(entry)).empty()) entries.push_back(Trim(entry));
    entry.clear();
  };
  for (char c : list) {
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == ',' || c == ';'))
      end();
    else
      entry += c;
  }
  end();
  return entries;
}

bool IsMailAddress(const std::string& text) {
  if (text.size() > 254) return false;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= ' ' || c >= 0x7F || std::strchr("<>\"(),;[]\\", ch)) return false;
  }
  const size_t at = text.rfind('@');
  return at != std::string::npos && at > 0 && at + 1 < text.size();
}

std::vector<TRecipient> Recipients(const std::string& list, std::vector<std::string>* rejected) {
  std::vector<TRecipient> result;
  auto offer = [&](const std::string& address, const std::string& name) {
    if (IsMailAddress(address))
      result.push_back({address, name.empty() ? address : name});
    else if (rejected)
      rejected->push_back(address);
  };
  for (const std::string& whole : RecipientEntries(list)) {
    // What follows "Name <addr>" without a separator ("Ann <ann@x.org> carl@z.org") is read as
    // entries of its own, so nobody written there is left out without a word.
    std::string entry = whole;
    for (;;) {
      const size_t open = UnquotedAngle(entry);
      const size_t close = open == std::string::npos ? open : entry.find('>', open);
      if (close != std::string::npos) {
        offer(Trim(entry.substr(open + 1, close - open - 1)), Trim(RemoveQuotes(entry.substr(0, open))));
        entry = Trim(entry.substr(close + 1));
        if (Trim(RemoveQuotes(entry)).empty()) break;
        continue;
      }
      for (const std::string& word : SplitList(entry)) {
        const std::string w = Trim(word);
        if (!w.empty()) offer(w, w);
      }
      break;
    }
  }
  return result;
}

std::string HtmlText(const std::string& raw) {
  // Names and IDs come from disks and folders anyone may have written: a control byte among them
  // must not reach a mail reader's terminal as it is.
  const std::string text = EscapeControls(raw);
  std::string r;
  r.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        r += "&amp;";
        break;
      case '<':
        r += "&lt;";
        break;
      case '>':
        r += "&gt;";
        break;
      case '"':
        r += "&quot;";
        break;
      default:
        r += c;
    }
  }
  return r;
}

namespace {

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The entity at text[at] ('&'), appended decoded; returns where the text goes on. An entity this
// does not know stays as it was written.
size_t DecodeEntity(const std::string& text, size_t at, std::string& out) {
  const size_t semi = text.find(';', at);
  if (semi == std::string::npos || semi - at > 10) {
    out += '&';
    return at + 1;
  }
  const std::string name = text.substr(at + 1, semi - at - 1);
  static const struct {
    const char* name;
    const char* text;
  } kNamed[] = {{"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
  for (const auto& e : kNamed)
    if (name == e.name) {
      out += e.text;
      return semi + 1;
    }
  if (name.size() > 1 && name[0] == '#') {
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const std::string digits = name.substr(hex ? 2 : 1);
    unsigned long cp = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
    if (!digits.empty() && ec == std::errc() && ptr == digits.data() + digits.size()) {
      AppendUtf8(out, cp);
      return semi + 1;
    }
  }
  out += '&';
  return at + 1;
}

void EndLine(std::string& out) {
  while (!out.empty() && out.back() == ' ') out.pop_back();
  out += '\n';
}

}  // namespace

std::string HtmlToPlainText(const std::string& html) {
  std::string out;
  int cellsInRow = 0;
  size_t i = 0;
  while (i < html.size()) {
    const char c = html[i];
    if (c == '<') {
      const size_t close = html.find('>', i);
      if (close == std::string::npos) {
        out += html.substr(i);
        break;
      }
      std::string tag = LowerCase(html.substr(i + 1, close - i - 1));
      const bool ending = !tag.empty() && tag[0] == '/';
      if (ending) tag.erase(0, 1);
      tag = tag.substr(0, tag.find_first_of(" /\t"));
      if (tag == "br" || (ending && (tag == "p" || tag == "div" || tag == "tr" || tag == "table"))) {
        EndLine(out);
      } else if (!ending && tag == "tr") {
        cellsInRow = 0;
      } else if (!ending && (tag == "td" || tag == "th")) {
        if (cellsInRow++ > 0) out += " | ";
      }
      i = close + 1;
    } else if (c == '&') {
      i = DecodeEntity(html, i, out);
    } else if (c == '\r' || c == '\n') {
      // A line end in the markup is a blank to the reader, and nothing at all right after a break.
      if (!out.empty() && out.back() != '\n' && out.back() != ' ') out += ' ';
      ++i;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

int32_t NotifierSmtpTimeout() {
  return smtpTimeoutMs.load();
}

void SetNotifierSmtpTimeout(int32_t ms) {
  smtpTimeoutMs.store(ms);
}

void SetNotifierSmtpListener(TSmtpListener listener) {
  smtpListener = std::move(listener);
}

bool TNotifier::SendMail(const std::string& attachmentPath) {
  LastError.clear();
  TVumSMTP smtp;
  TVumMsg msg;
  Prepare(*this, smtp, msg);
  if (!attachmentPath.empty()) Attach(msg, attachmentPath);
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
