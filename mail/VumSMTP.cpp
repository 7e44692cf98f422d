#include "mail/VumSMTP.h"

#include <cctype>
#include <cerrno>
#include <charconv>

#include "QorvLib/uQorvFiles.h"
#include "mail/VumAttFile.h"
#include "mail/VumMsg.h"
#include "platform/uClock.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {

// A decimal number from 0 to max written with digits only; -1 otherwise.
int DecimalUpTo(const std::string& text, int max) {
  if (text.empty() || text.size() > 5) return -1;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
  int v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);
  return v <= max ? v : -1;
}

// The four numbers of a dotted address, or an empty list when text is none.
std::vector<int> DottedParts(const std::string& text) {
  std::vector<int> parts;
  std::string rest = text;
  for (int i = 0; i < 3; ++i) {
    const size_t dot = rest.find('.');
    if (dot == std::string::npos) return {};
    const int v = DecimalUpTo(rest.substr(0, dot), 255);
    if (v < 0) return {};
    parts.push_back(v);
    rest.erase(0, dot + 1);
  }
  const int v = DecimalUpTo(rest, 255);
  if (v < 0) return {};
  parts.push_back(v);
  return parts;
}

// Where the last line of a reply starts, its own line end left out of the search.
size_t LastLineStart(const std::string& reply) {
  size_t end = reply.size();
  if (end > 0 && reply[end - 1] == '\n') --end;
  const size_t nl = end == 0 ? std::string::npos : reply.rfind('\n', end - 1);
  return nl == std::string::npos ? 0 : nl + 1;
}

// k * 100 / n to the nearest integer, a half going to the even neighbour.
uint16_t PercentOf(size_t k, size_t n) {
  const size_t num = k * 100;
  size_t q = num / n;
  const size_t twiceRem = 2 * (num % n);
  if (twiceRem > n || (twiceRem == n && (q & 1))) ++q;
  return static_cast<uint16_t>(q);
}

}  // namespace

size_t CompleteReplyLength(const std::string& text) {
  size_t pos = 0;
  for (;;) {
    const size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) return 0;
    auto digit = [&](size_t i) { return std::isdigit(static_cast<unsigned char>(text[i])) != 0; };
    const bool continued =
        nl - pos >= 4 && digit(pos) && digit(pos + 1) && digit(pos + 2) && text[pos + 3] == '-';
    if (!continued) return nl + 1;
    pos = nl + 1;
  }
}

TReplyParts SplitReply(const std::string& reply) {
  TReplyParts parts;
  parts.Code = Trim(reply.substr(LastLineStart(reply), 4));
  const size_t crlf = reply.find("\r\n");
  if (crlf != std::string::npos && crlf > 4) parts.Text = Trim(reply.substr(4, crlf - 4));
  return parts;
}

bool IsDottedAddress(const std::string& text) {
  return !DottedParts(text).empty();
}

std::string ExtractAddress(const std::string& text) {
  std::string s = text;
  for (;;) {
    const size_t open = s.find('(');
    if (open == std::string::npos) break;
    const size_t close = s.find(')', open);
    if (close == std::string::npos) break;
    s.erase(open, close - open + 1);
  }
  s = Trim(s);
  const size_t lt = s.find('<');
  const size_t gt = s.find('>');
  if (lt != std::string::npos && gt != std::string::npos)
    s = gt > lt ? s.substr(lt + 1, gt - lt - 1) : std::string();
  return s;
}

std::string RemoveChar(const std::string& text, char c) {
  std::string s;
  s.reserve(text.size());
  for (char ch : text)
    if (ch != c) s += ch;
  return s;
}

std::string RemoveQuoted(const std::string& text, char q) {
  if (Trim(text).empty()) return {};
  std::string s = text;
  for (;;) {
    const size_t first = s.find(q);
    if (first == std::string::npos) break;
    s.erase(first, 1);
    const size_t next = s.find(q, first);
    if (next == std::string::npos) break;
    s.erase(first, next - first + 1);
  }
  return s;
}

std::vector<std::string> ParseAddressList(const std::string& text) {
  std::vector<std::string> list;
  std::string s = RemoveChar(text, ' ');
  if (s.empty()) return list;
  s = LowerCase(RemoveQuoted(s, '"'));
  for (size_t comma = s.find(','); comma != std::string::npos; comma = s.find(',')) {
    list.push_back(ExtractAddress(s.substr(0, comma)));
    s.erase(0, comma + 1);
  }
  list.push_back(ExtractAddress(s));
  return list;
}

TVumSMTP::TVumSMTP() : socket_(std::make_unique<TClientSocket>()) {
  socket_->OnLookup = [this](TClientSocket& s) {
    if (OnLookup) OnLookup(&s, s);
  };
  socket_->OnConnecting = [this](TClientSocket& s) {
    if (OnConnecting) OnConnecting(&s, s);
  };
  socket_->OnConnect = [this](TClientSocket& s) {
    if (OnConnect) OnConnect(&s);
  };
  socket_->OnDisconnect = [this](TClientSocket& s) {
    if (OnQuit) OnQuit(&s);
  };
  // The code stays, so the socket goes on to raise its own error after the session is failed.
  socket_->OnError = [this](TClientSocket& s, int&) { FailSession(&s); };
}

TVumSMTP::~TVumSMTP() = default;

bool TVumSMTP::IsConnected() const {
  return socket_->Connected();
}

void TVumSMTP::SendText(const std::string& text) {
  if (!IsConnected()) {
    NoteFailure("the connection was closed before " +
                std::string(text.empty() ? "sending" : "the next command"));
    throw EQorvError("Not connected. Attempting to send on socket.");
  }
  static const struct {
    const char* start;
    const char* step;
  } kSteps[] = {{"EHLO ", "EHLO"},
                {"HELO ", "HELO"},
                {"STARTTLS\r\n", "STARTTLS"},
                {"AUTH ", "AUTH"},
                {"MAIL FROM:", "MAIL FROM"},
                {"RCPT TO:", "RCPT TO"},
                {"DATA\r\n", "DATA"},
                {"\r\n.\r\n", "the end of the data"},
                {"RSET\r\n", "RSET"},
                {"QUIT\r\n", "QUIT"}};
  // A line of the mail may look like a command too; the end of the data then names the wait.
  for (const auto& s : kSteps)
    if (text.rfind(s.start, 0) == 0) {
      awaiting_ = s.step;
      break;
    }
  if (!text.empty()) socket_->SendText(text);
  if (OnSendTextToSocket) OnSendTextToSocket(this, text);
}

std::string TVumSMTP::ReceiveReply() {
  try {
    return ReceiveWholeReply();
  } catch (const std::exception&) {
    const int code = socket_->LastErrorCode();
    if (code == ETIMEDOUT || code == EAGAIN || code == EWOULDBLOCK)
      NoteFailure("timed out waiting for the reply to " + awaiting_);
    else if (!socket_->LastErrorText().empty())
      NoteFailure(socket_->LastErrorText() + " while waiting for the reply to " + awaiting_);
    throw;
  }
}

std::string TVumSMTP::ReceiveWholeReply() {
  // A server may write a reply in several pieces (line by line, or as TCP splits it): gather
  // them until the reply is whole, or the dialogue falls out of step with the server.
  std::string text;
  const bool bounded = OperationTimeout > 0;
  const int64_t deadline = MonotonicMs() + OperationTimeout;
  char buf[2048];
  for (;;) {
    const size_t whole = CompleteReplyLength(text);
    if (whole > 0) {
      // Without pipelining anything after the reply is unasked for; it must not answer the next command.
      text.resize(whole);
      return text;
    }
    if (text.size() > MaxReplySize) {
      socket_->RaiseError(EMSGSIZE, "recv");
      return text;
    }
    int wait = 0;
    if (bounded) {
      const int64_t left = deadline - MonotonicMs();
      if (left <= 0) {
        socket_->RaiseError(ETIMEDOUT, "recv");
        return text;
      }
      wait = static_cast<int>(left);
    }
    const int n = socket_->ReceiveBuf(buf, sizeof buf, wait);
    if (n <= 0) return text;  // the server closed: what came is all there is
    text.append(buf, static_cast<size_t>(n));
  }
}

void TVumSMTP::ReadReply() {
  std::string text;
  try {
    text = ReceiveReply();
  } catch (...) {
    socket_->Close();
    throw;
  }
  // A server that closed instead of answering leaves no reply; a short one is judged as before
  // (by the reply before it), but the words for the failure must not come from that one.
  if (text.empty())
    NoteFailure("the server closed the connection while waiting for the reply to " + awaiting_);
  if (text.size() > 4) {
    TReplyParts parts = SplitReply(text);
    replyCode_ = std::move(parts.Code);
    replyText_ = std::move(parts.Text);
    failed_ = replyCode_ == "-ERR";
  }
  if (IsConnected() && OnReceiveTextFromSocket) OnReceiveTextFromSocket(this, text);
}

bool TVumSMTP::Expect(const char* code) {
  if (!failed_ && replyCode_ != code) NoteFailure(Trim(replyCode_ + " " + replyText_));
  if (!failed_) failed_ = replyCode_ != code;
  return !failed_;
}

void TVumSMTP::FailSession(void* sender) {
  failed_ = true;
  socket_->Close();
  if (OnError) OnError(sender, static_cast<int>(TextToInt64(replyCode_)), replyText_);
}

namespace {
// A line of the EHLO reply that names the extension (after its "250-" or "250 ").
bool Offers(const std::string& reply, const std::string& extension) {
  size_t pos = 0;
  while (pos < reply.size()) {
    size_t end = reply.find('\n', pos);
    if (end == std::string::npos) end = reply.size();
    const std::string word =
        LowerCase(Trim(reply.substr(std::min(pos + 4, end), end - std::min(pos + 4, end))));
    if (word == extension || word.rfind(extension + " ", 0) == 0) return true;
    pos = end + 1;
  }
  return false;
}

// A byte beyond ASCII anywhere in the lines.
bool HasEightBit(const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    for (char c : line)
      if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

bool IsIpv6Literal(const std::string& host) {
  return host.find(':') != std::string::npos;
}
}  // namespace

void TVumSMTP::Greet(bool ehlo) {
  SendText((ehlo ? "EHLO " : "HELO ") + localHost_ + "\r\n");
  // The capability list is kept whole: the mechanisms are looked for anywhere in it.
  const std::string reply = ReceiveReply();
  if (OnReceiveTextFromSocket) OnReceiveTextFromSocket(this, reply);
  if (!reply.empty()) {
    replyText_ = reply;
    replyCode_ = reply.substr(LastLineStart(reply), 3);
  }
  authLoginOffered_ = replyText_.find("LOGIN") != std::string::npos;
  authPlainOffered_ = replyText_.find("PLAIN") != std::string::npos;
  eightBitMimeOffered_ = ehlo && Offers(reply, "8bitmime");
}

void TVumSMTP::StartSecure() {
  try {
    std::string host = Host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    socket_->StartTls({host, CAFile, Fingerprint});
  } catch (const std::exception& e) {
    tlsError_ = e.what();
    replyCode_.clear();
    replyText_ = tlsError_;
    FailSession(this);
    throw;
  }
}

bool TVumSMTP::RefuseInsecure(const std::string& reason) {
  tlsError_ = reason;
  try {
    Disconnect();
  } catch (const std::exception&) {
    // Closed whatever happened; the reason below is what counts.
  }
  replyText_ = reason;
  FailSession(this);
  return false;
}

bool TVumSMTP::Connect() {
  const int port = DecimalUpTo(Port, 65535);
  socket_->SetPort(port < 0 ? 25 : port);
  const std::vector<int> dotted = DottedParts(Host);
  if (!dotted.empty()) {
    // Rewritten from its numbers, so "010" means ten here as it did to the check.
    socket_->SetAddress(std::to_string(dotted[0]) + "." + std::to_string(dotted[1]) + "." +
                        std::to_string(dotted[2]) + "." + std::to_string(dotted[3]));
    socket_->SetHost("");
  } else {
    socket_->SetHost(Host);
    socket_->SetAddress("");
  }
  socket_->SetTimeoutMs(OperationTimeout);
  failed_ = false;
  tlsError_.clear();
  failure_.clear();
  eightBitMimeOffered_ = false;
  awaiting_ = "the greeting";
  try {
    socket_->Open();
    if (!IsConnected()) {
      failed_ = true;
      NoteFailure(socket_->LastErrorText());
      return false;
    }
    localHost_ = socket_->LocalHost();
    localAddr_ = socket_->LocalAddress();
    if (Security == ssImplicitTls) StartSecure();
    ReadReply();
    if (!Expect("220")) {
      Disconnect();
      return IsConnected();
    }
    if (IsDottedAddress(localHost_)) {
      localHost_ = "[" + localHost_ + "]";
    } else if (localHost_.find('.') == std::string::npos && dotted.empty() && !IsIpv6Literal(Host)) {
      localHost_ += "." + (LocalDomainName.empty() ? Host : LocalDomainName);
    }
    // STARTTLS is an extension: only an EHLO learns whether the server offers it.
    Greet(Security == ssStartTls || !UserId.empty() || !UserPasswd.empty());
    if (!Expect("250")) {
      Disconnect();
      return IsConnected();
    }
    if (Security == ssStartTls) {
      // Never on in plain: without STARTTLS the logon and the mail would cross the network readable.
      if (!Offers(replyText_, "starttls"))
        return RefuseInsecure("Mail server " + Host + " does not offer STARTTLS");
      SendText("STARTTLS\r\n");
      ReadReply();
      if (!Expect("220"))
        return RefuseInsecure("Mail server " + Host + " refused STARTTLS: " + replyCode_ + " " + replyText_);
      StartSecure();
      Greet(true);
      if (!Expect("250")) Disconnect();
    }
    return IsConnected();
  } catch (const std::exception&) {
    failed_ = true;
    // A connect that failed says why in the system's words.
    NoteFailure(socket_->LastErrorText());
    try {
      Disconnect();
    } catch (const std::exception&) {
      // Disconnect has closed the socket whatever went wrong; Connect answers by its result.
    }
    return IsConnected();
  }
}

bool TVumSMTP::Login() {
  authenticated_ = false;
  if (!IsConnected()) throw EQorvError("Invalid Op. Not connected.");
  const TBase64Codec base64;
  if (authLoginOffered_) {
    SendText("AUTH LOGIN\r\n");
    ReadReply();
    if (failed_) {
      FailSession(this);
      return false;
    }
    if (replyCode_ == "334") {
      SendText(base64.Encode(UserId, false) + "\r\n");
      ReadReply();
      if (!Expect("334")) {
        FailSession(this);
        return false;
      }
      SendText(base64.Encode(UserPasswd, false) + "\r\n");
      ReadReply();
      authenticated_ = Expect("235");
    }
  }
  if (!authenticated_ && authPlainOffered_) {
    const std::string plain = std::string(1, '\0') + UserId + std::string(1, '\0') + UserPasswd;
    SendText("AUTH PLAIN " + base64.Encode(plain, false) + "\r\n");
    ReadReply();
    authenticated_ = Expect("235");
  }
  return authenticated_;
}

int TVumSMTP::SendEnvelope(const std::string& sender, const std::string& bounceRecipient, bool bounce,
                           const std::vector<std::string>& lines,
                           const std::vector<std::string>& recipients) {
  if (recipients.empty()) return 1;
  SendText(bounce ? std::string("MAIL FROM:<>\r\n") : "MAIL FROM:<" + sender + ">" + bodyParameter_ + "\r\n");
  ReadReply();
  if (!Expect("250")) return -1;
  for (const std::string& recipient : recipients) {
    if (bounce)
      SendText("RCPT TO:<" + recipient + "> NOTIFY=FAILURE ORCPT=rfc822;" + Trim(bounceRecipient) + "\r\n");
    else
      SendText("RCPT TO:<" + recipient + ">\r\n");
    ReadReply();
    if (!Expect("250")) return -2;
  }
  SendText("DATA\r\n");
  ReadReply();
  if (!Expect("354")) return -3;
  int threshold = SendProgressStep;
  try {
    for (size_t k = 1; k <= lines.size(); ++k) {
      SendText(lines[k - 1] + "\r\n");
      percent_ = PercentOf(k, lines.size());
      if (percent_ >= threshold) {
        if (OnSendProgress) OnSendProgress(this, percent_);
        threshold += SendProgressStep;
      }
    }
    SendText("\r\n.\r\n");
    // The lines are gathered into large writes: the last of them leaves here, so a failure to
    // send is told as one, not as a reply that never came.
    socket_->Flush();
  } catch (const std::exception&) {
    failed_ = true;
    NoteFailure(
        (socket_->LastErrorText().empty() ? std::string("the connection failed") : socket_->LastErrorText()) +
        " while sending the mail");
    return -6;
  }
  ReadReply();
  if (!Expect("250")) return -4;
  // From here on the mail is the server's: a RSET that is refused or never answered is reported
  // (-5) but cannot undo the delivery.
  try {
    SendText("RSET\r\n");
    ReadReply();
  } catch (const std::exception&) {
    failed_ = true;
    return -5;
  }
  if (!Expect("250")) return -5;
  if (OnSendProgress) OnSendProgress(this, 100);
  return 1;
}

bool TVumSMTP::SendMessage(TVumMsg& message) {
  if (message.From().empty() && !message.BounceMsg) throw EQorvError("\"From\" field not specified.");
  if (message.SendTo().empty()) throw EQorvError("\"SendTo\" field not specified.");
  if (message.RawMail().empty()) {
    // Only a server that said it takes 8-bit bodies gets one: elsewhere a relay may strip the
    // eighth bit, so the text goes quoted-printable, which any server carries unchanged.
    const TTextEncoding chosen = message.TextEncoding;
    if (chosen == te8Bit && !eightBitMimeOffered_ &&
        (HasEightBit(message.Text()) || HasEightBit(message.HTML())))
      message.TextEncoding = teQP;
    message.Compose();
    message.TextEncoding = chosen;
  }
  // An 8-bit body must be announced as one.
  bodyParameter_ = eightBitMimeOffered_ && HasEightBit(message.RawMail()) ? " BODY=8BITMIME" : "";
  if (OnBeforeSend) OnBeforeSend(this);
  const std::string sender = ExtractAddress(message.From());
  const std::vector<std::string> lists[] = {ParseAddressList(message.SendTo()),
                                            ParseAddressList(message.CC()), ParseAddressList(message.BCC())};
  bool ok = true;
  for (const auto& list : lists) {
    if (!ok) break;
    const int result =
        SendEnvelope(sender, message.BounceRecipient, message.BounceMsg, message.RawMail(), list);
    // -5: accepted at the end of the data, only the RSET after it went wrong.
    ok = result > 0 || result == -5;
  }
  if (!ok) FailSession(this);
  if (percent_ < 100 && OnSendProgress) OnSendProgress(this, 100);
  if (OnAfterSend) OnAfterSend(this);
  return ok;
}

void TVumSMTP::Disconnect() {
  if (!IsConnected()) return;
  try {
    SendText("QUIT\r\n");
    ReadReply();
  } catch (...) {
    socket_->Close();
    throw;
  }
  socket_->Close();
}

}  // namespace tavik
