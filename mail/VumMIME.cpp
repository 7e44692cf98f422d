#include "mail/VumMIME.h"

#include <charconv>
#include <cstdio>

#include "QorvLib/uQorvFiles.h"
#include "mail/VumMsg.h"
#include "platform/uErrors.h"

namespace tavik {

using TLines = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------
// Generators

std::string FormatZoneBias(int biasMinutes) {
  if (biasMinutes == 0) return "-0000";
  int a = biasMinutes < 0 ? -biasMinutes : biasMinutes;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%c%02d%02d", biasMinutes < 0 ? '+' : '-', a / 60, a % 60);
  return buf;
}

std::string ZoneOffset(TDateTime t) {
  // The C library's offset already holds the daylight part, so it is the whole bias.
  return FormatZoneBias(static_cast<int>(-ToLocal(t).gmtOffsetSeconds / 60));
}

std::string MailDate(TDateTime t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  TLocalTime l = ToLocal(t);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s, %d %s %d %02d:%02d:%02d ", kDays[l.weekday % 7], l.day,
                kMonths[(l.month + 11) % 12], l.year, l.hour, l.minute, l.second);
  return buf + ZoneOffset(t);
}

namespace {
std::string HexByte(const std::string& part) {
  int v = 0;
  auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), v);
  if (part.empty() || ec != std::errc() || ptr != part.data() + part.size())
    throw EQorvError("'" + part + "' is not a valid integer value");
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02X", v);
  return buf;
}

std::string Today8() {
  TLocalTime l = ToLocal(Now());
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", l.year, l.month, l.day);
  return buf;
}
}  // namespace

std::string NewMessageId(const std::string& localHost, const std::string& localAddr) {
  std::string x;
  std::string addr = Trim(localAddr);
  if (!addr.empty()) {
    // Exactly four parts: a missing one is empty and fails like any other non-number.
    for (int i = 0; i < 4; ++i) {
      size_t dot = i < 3 ? addr.find('.') : std::string::npos;
      x += HexByte(addr.substr(0, dot));
      addr = dot == std::string::npos ? std::string() : addr.substr(dot + 1);
    }
  } else {
    x = VumRandomHex8();
  }
  return "<VUM" + Today8() + "$" + x + ".$" + VumRandomHex8() + "@" + localHost + ">";
}

std::string NewBoundary() {
  TLocalTime l = ToLocal(Now());
  char buf[64];
  std::snprintf(buf, sizeof buf, "----=_VUMbound_%02d_%02d%02d_%04d%02d%02d_", l.hour, l.minute, l.second,
                l.year, l.month, l.day);
  std::string first = VumRandomHex8();
  return buf + first + "." + VumRandomHex8();
}

// ---------------------------------------------------------------------------------------------
// Composition

namespace {
const char* const kPreamble = "This is a multi-part message in MIME format.";

// A line that begins with "." would end or corrupt the DATA transfer.
void DotStuff(TLines& lines) {
  for (std::string& l : lines)
    if (!l.empty() && l[0] == '.') l.insert(0, ".");
}

TLines SplitLines(const std::string& text, bool lfToo) {
  TLines lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t br = text.find(lfToo ? "\n" : "\r\n", pos);
    if (br == std::string::npos) br = text.size();
    std::string line = text.substr(pos, br - pos);
    if (lfToo && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    pos = br + (lfToo ? 1 : 2);
  }
  return lines;
}

std::string JoinLines(const TLines& lines) {
  std::string r;
  for (const std::string& l : lines) r += l + "\r\n";
  return r;
}

std::string Base64Stream(const std::string& bytes) {
  TStringSink sink;
  {
    TBase64EncodingStream enc(sink);
    enc.Write(bytes.data(), bytes.size());
    enc.Finish();
  }
  return sink.Data;
}

TLines QPLines(const TLines& lines) {
  TLines r = SplitLines(TQPCodec().Encode(lines), false);
  // The codec leaves a leading "." as it is; the SMTP client sends lines unchanged, so encode it here.
  for (std::string& l : r)
    if (!l.empty() && l[0] == '.') l.replace(0, 1, "=2E");
  return r;
}

TLines Base64Lines(const TLines& lines) {
  if (Trim(JoinLines(lines)).empty()) return lines;
  return SplitLines(Base64Stream(JoinLines(lines)), false);
}

// One encoded word per 57 bytes (one line of the encoder), each on its own folded line, so no
// word is cut by a line break. A UTF-8 character is never split between two words.
std::string EncodeSubject(const std::string& subject, const std::string& charset) {
  const std::string open = "=?" + charset + "?B?";
  if (subject.empty()) return open + "?=";
  const bool utf8 = charset == "utf-8" || charset == "utf8";
  std::string r;
  size_t pos = 0;
  while (pos < subject.size()) {
    size_t len = std::min<size_t>(57, subject.size() - pos);
    if (utf8 && pos + len < subject.size()) {
      size_t cut = len;
      while (cut > 0 && (static_cast<unsigned char>(subject[pos + cut]) & 0xC0) == 0x80) --cut;
      if (cut > 0) len = cut;
    }
    if (!r.empty()) r += "\r\n\t";
    std::string encoded = Base64Stream(subject.substr(pos, len));
    if (encoded.size() >= 2 && encoded.compare(encoded.size() - 2, 2, "\r\n") == 0)
      encoded.resize(encoded.size() - 2);
    r += open + encoded + "?=";
    pos += len;
  }
  return r;
}

std::string LowerCid(std::string line) {
  for (size_t p = 0; (p = LowerCase(line).find("cid:", p)) != std::string::npos; p += 4)
    line.replace(p, 4, "cid:");
  return line;
}

class TComposer {
 public:
  explicit TComposer(TVumMsg& msg) : m_(msg), charset_(LowerCase(msg.CharSet)) {}

  TLines Run();

 private:
  void PrepareBodies();
  TLines HeaderBlock(const std::string& contentType, bool writeEncoding);
  std::string RecipientList(const TAddressList& list, bool skipEmptyAddress) const;

  void Add(const std::string& line) { body_.push_back(line); }
  void AddAll(const TLines& lines) { body_.insert(body_.end(), lines.begin(), lines.end()); }
  void BoundaryLine(const std::string& b) { Add("--" + b); }
  void ClosingLine(const std::string& b) { Add("--" + b + "--"); }
  void TextHead() {
    Add("Content-Type: text/plain;\r\n\tcharset=\"" + charset_ + "\"");
    Add("Content-Transfer-Encoding: " + encoding_);
  }
  void HtmlHead() {
    Add("Content-Type: text/html;\r\n\tcharset=\"" + charset_ + "\"");
    Add("Content-Transfer-Encoding: " + encoding_);
  }
  // The plain-text part under boundary b: its head, the text lines and the closing empty line.
  void TextPart(const std::string& b);
  // The text part and the HTML part of an alternative group under boundary b.
  void Alternatives(const std::string& b);
  // Encodes the item just before its part is written.
  void EncodedPartHead(TAttachedFile& a, const std::string& b);
  void AttachmentPart(TAttachedFile& a, const std::string& b);
  void InlinePart(TAttachedFile& a, const std::string& b);
  void ReportAttachmentPart(TAttachedFile& a, const std::string& b);
  void ReportFields();
  void LayoutWithHtml(const std::string& b1, bool allInline, bool someInline);
  void LayoutWithoutHtml(const std::string& b1);
  void AttachmentTail(const std::string& b1, bool allInline);

  TVumMsg& m_;
  std::string charset_;
  std::string encoding_;
  TLines text_, html_, body_;
};

void TComposer::PrepareBodies() {
  for (const std::string& l : m_.HTML()) html_.push_back(LowerCid(l));
  text_ = m_.Text();
  switch (m_.TextEncoding) {
    case teQP:
      text_ = QPLines(text_);
      html_ = QPLines(html_);
      encoding_ = "quoted-printable";
      break;
    case teBase64:
      m_.Subject = EncodeSubject(m_.Subject, charset_);
      text_ = Base64Lines(text_);
      html_ = Base64Lines(html_);
      encoding_ = "base64";
      break;
    case te8Bit:
    default:
      DotStuff(text_);
      DotStuff(html_);
      encoding_ = "8Bit";
      break;
  }
}

std::string TComposer::RecipientList(const TAddressList& list, bool skipEmptyAddress) const {
  std::string r;
  for (int i = 0; i < list.Count(); ++i) {
    const TMailAddress& e = list.Items(i);
    std::string entry;
    std::string name = Trim(e.Name);
    if (!name.empty()) entry = "\"" + name + "\" ";
    if (!skipEmptyAddress || !Trim(e.Address).empty()) entry += "<" + e.Address + ">";
    if (entry.empty()) continue;
    if (!r.empty()) r += ",\r\n\t";
    r += entry;
  }
  return r;
}

TLines TComposer::HeaderBlock(const std::string& contentType, bool writeEncoding) {
  TLines h;
  const bool bounce = m_.BounceMsg;
  if (!bounce && !Trim(m_.ReturnPath).empty()) h.push_back("Return-Path: " + m_.ReturnPath);
  if (!bounce) h.push_back("Date: " + m_.Date);
  h.push_back("Subject: " + m_.Subject);
  h.push_back("From: " + m_.From());
  std::string replyTo = m_.ReplyTo();
  if (!bounce && !replyTo.empty()) h.push_back("Reply-To: " + replyTo);
  h.push_back("To: " + RecipientList(m_.SendToList(), false));
  std::string cc = RecipientList(m_.CCList(), true);
  if (!Trim(cc).empty()) h.push_back("CC: " + cc);
  // Blind copies are never written into the message: every recipient would read them.
  // They get their own envelope recipients from the SMTP client.
  if (!bounce && !m_.InReplyTo.empty()) h.push_back("In-Reply-To: " + m_.InReplyTo);
  if (!bounce) h.push_back("Message-ID: " + NewMessageId(m_.LocalHost(), m_.LocalAddr));
  h.push_back(contentType);
  if (writeEncoding) h.push_back("Content-Transfer-Encoding: " + encoding_);
  if (!bounce) h.push_back("X-Priority: " + std::to_string(static_cast<int>(m_.Priority) + 1));
  if (!Trim(m_.XMailer).empty()) h.push_back("X-Mailer: " + m_.XMailer);
  for (const std::string& l : m_.ExtraHeaders()) h.push_back(l);
  h.push_back("MIME-Version: 1.0");
  return h;
}

void TComposer::TextPart(const std::string& b) {
  BoundaryLine(b);
  TextHead();
  Add("");
  AddAll(text_);
  Add("");
}

void TComposer::Alternatives(const std::string& b) {
  TextPart(b);
  BoundaryLine(b);
  HtmlHead();
  Add("Content-Disposition: inline");
  Add("");
  AddAll(html_);
  Add("");
}

void TComposer::EncodedPartHead(TAttachedFile& a, const std::string& b) {
  a.Encode();
  BoundaryLine(b);
  Add("Content-Type: " + a.ContentType + ";\r\n\tname=\"" + a.Name + "\"");
  Add("Content-Transfer-Encoding: base64");
}

void TComposer::AttachmentPart(TAttachedFile& a, const std::string& b) {
  EncodedPartHead(a, b);
  Add("Content-Disposition: attachment;\r\n\tfilename=\"" + a.Name + "\"");
  Add("");
  AddAll(a.EncodedLines);
  Add("");
}

void TComposer::InlinePart(TAttachedFile& a, const std::string& b) {
  EncodedPartHead(a, b);
  std::string id = Trim(a.ContentId);
  Add("Content-ID: <" + (id.empty() ? Trim(a.Name) : id) + ">");
  Add("Content-Description: " + Trim(a.Name));
  Add("Content-Location: " + Trim(a.Name));
  Add("");
  AddAll(a.EncodedLines);
}

void TComposer::ReportAttachmentPart(TAttachedFile& a, const std::string& b) {
  a.LoadData();
  BoundaryLine(b);
  Add("Content-Type: " + a.ContentType);
  Add("");
  TLines lines;
  for (std::string& l : SplitLines(a.Data, true)) {
    if (l.empty()) break;
    lines.push_back(std::move(l));
  }
  // These lines go out unencoded in every mode, so they need the same guard as 8-bit bodies.
  DotStuff(lines);
  AddAll(lines);
  Add("");
}

void TComposer::ReportFields() {
  const std::string& r = m_.BounceRecipient;
  size_t at = r.find('@');
  Add("Reporting-MTA: dns; " + (at == std::string::npos ? r : r.substr(at + 1)));
  Add("Original-Envelope-ID: " + m_.BounceEnvelopeId);
  Add("");
  Add("Arrival-Date: " + MailDate(Now()));
  Add("Original-Recipient: rfc822;" + r);
  Add("Final-Recipient: rfc822;" + r);
  Add("SMTP-Remote-Recipient: " + r);
  Add("Diagnostic-Code: smtp; 550 error - no such recipient");
  Add("Action: failed");
  Add("Status: 5.0.0");
}

void TComposer::LayoutWithHtml(const std::string& b1, bool allInline, bool someInline) {
  Add(kPreamble);
  Add("");
  BoundaryLine(b1);
  auto& items = m_.Attachments();
  if (someInline) {
    std::string b2 = NewBoundary();
    Add("Content-Type: multipart/related;\r\n\ttype=\"multipart/alternative\";\r\n\tboundary=\"" + b2 + "\"");
    Add("");
    BoundaryLine(b2);
    std::string b3 = NewBoundary();
    Add("Content-Type: multipart/alternative;\r\n\tboundary=\"" + b3 + "\"");
    Add("");
    Alternatives(b3);
    ClosingLine(b3);
    Add("");
    for (int i = 0; i < items.Count(); ++i) {
      if (!items.Items(i).Inline) continue;
      InlinePart(items.Items(i), b2);
      Add("");
    }
    ClosingLine(b2);
  } else {
    std::string b2 = NewBoundary();
    Add("Content-Type: multipart/alternative;\r\n\tboundary=\"" + b2 + "\"");
    Add("");
    Alternatives(b2);
    ClosingLine(b2);
    if (allInline) {
      Add("");
      for (int i = 0; i < items.Count(); ++i) InlinePart(items.Items(i), b1);
    }
  }
  Add("");
  AttachmentTail(b1, allInline);
}

void TComposer::LayoutWithoutHtml(const std::string& b1) {
  if (!m_.BounceMsg) {
    Add("");
    TextPart(b1);
  } else {
    BoundaryLine(b1);
    Add("Content-Type: text/plain;\r\n\tcharset=\"" + charset_ + "\"");
    Add("");
    AddAll(text_);
    Add("");
    BoundaryLine(b1);
    Add("Content-Type: message/delivery-status");
    Add("");
    ReportFields();
    Add("");
  }
  AttachmentTail(b1, false);
}

void TComposer::AttachmentTail(const std::string& b1, bool allInline) {
  auto& items = m_.Attachments();
  if (!allInline) {
    for (int i = 0; i < items.Count(); ++i) {
      TAttachedFile& a = items.Items(i);
      if (a.Inline) continue;
      if (m_.BounceMsg)
        ReportAttachmentPart(a, b1);
      else
        AttachmentPart(a, b1);
    }
  }
  ClosingLine(b1);
  Add("");
}

TLines TComposer::Run() {
  PrepareBodies();
  if (!m_.BounceMsg && m_.Date.empty()) m_.Date = MailDate(Now());
  if (!m_.BounceMsg && m_.From().find('@') == std::string::npos)
    throw EQorvError("\"From\" address not complete.");
  if (m_.SendToList().Count() == 0) throw EQorvError("No e-mail addresses in the SendTo field.");

  auto& items = m_.Attachments();
  const bool hasAttachments = items.Count() > 0;
  bool allInline = hasAttachments, anyInline = false;
  for (int i = 0; i < items.Count(); ++i) {
    allInline = allInline && items.Items(i).Inline;
    anyInline = anyInline || items.Items(i).Inline;
  }
  bool htmlPresent = false;
  for (const std::string& l : html_) htmlPresent = htmlPresent || !l.empty();

  TLines header;
  if (!hasAttachments && !htmlPresent) {
    header = HeaderBlock("Content-Type: text/plain;\r\n\tcharset=\"" + charset_ + "\"", true);
    body_ = text_;
  } else {
    const std::string b1 = NewBoundary();
    std::string type;
    if (!hasAttachments)
      type = "Content-Type: multipart/alternative;\r\n\tboundary=\"" + b1 + "\"";
    else if (allInline && htmlPresent)
      type = "Content-Type: multipart/related;\r\n\ttype=\"multipart/alternative\";\r\n\tboundary=\"" + b1 +
             "\"";
    else if (allInline)
      type = "Content-Type: multipart/related;\r\n\tboundary=\"" + b1 + "\"";
    else if (!m_.BounceMsg)
      type = "Content-Type: multipart/mixed;\r\n\tboundary=\"" + b1 + "\"";
    else
      type = "Content-Type: multipart/report; report-type=delivery-status;\r\n\tboundary=\"" + b1 + "\"";
    std::string bodyEncoding = encoding_;
    // A multipart entity may only be 7bit, 8bit or binary; its parts carry their own encodings.
    encoding_ = "8Bit";
    header = HeaderBlock(type, !(hasAttachments && m_.BounceMsg));
    encoding_ = bodyEncoding;
    if (!hasAttachments) {
      Add(kPreamble);
      Add("");
      TextPart(b1);
      BoundaryLine(b1);
      HtmlHead();
      Add("");
      AddAll(html_);
      Add("");
      Add("");
      ClosingLine(b1);
      Add("");
    } else if (htmlPresent) {
      LayoutWithHtml(b1, allInline, anyInline && !allInline);
    } else {
      LayoutWithoutHtml(b1);
    }
  }
  header.push_back("");
  header.insert(header.end(), body_.begin(), body_.end());
  return header;
}
}  // namespace

void TVumMsg::Compose() {
  rawMail_.clear();
  TLines composed = TComposer(*this).Run();
  rawMail_ = std::move(composed);
}

}  // namespace tavik
