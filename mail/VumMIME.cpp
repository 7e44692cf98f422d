#include "mail/VumMIME.h"

#include <algorithm>
#include <cctype>
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
  // UTC is a known zone ("+0000"); "-0000" would tell the reader the zone was unknown.
  int a = biasMinutes < 0 ? -biasMinutes : biasMinutes;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%c%02d%02d", biasMinutes <= 0 ? '+' : '-', a / 60, a % 60);
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

// Encoded words of at most chunk bytes each, one per folded line, so no word is cut by a line
// break; a UTF-8 character is never split between two words. An empty text is one empty word.
std::string EncodedWords(const std::string& text, const std::string& charset, size_t chunk,
                         const char* fold) {
  const std::string open = "=?" + charset + "?B?";
  if (text.empty()) return open + "?=";
  const bool utf8 = charset == "utf-8" || charset == "utf8";
  std::string r;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t len = std::min<size_t>(chunk, text.size() - pos);
    if (utf8 && pos + len < text.size()) {
      size_t cut = len;
      while (cut > 0 && (static_cast<unsigned char>(text[pos + cut]) & 0xC0) == 0x80) --cut;
      if (cut > 0) len = cut;
    }
    if (!r.empty()) r += fold;
    std::string encoded = Base64Stream(text.substr(pos, len));
    if (encoded.size() >= 2 && encoded.compare(encoded.size() - 2, 2, "\r\n") == 0)
      encoded.resize(encoded.size() - 2);
    r += open + encoded + "?=";
    pos += len;
  }
  return r;
}

// The base64 mode's subject: one word per line of the encoder (57 bytes).
std::string EncodeSubject(const std::string& subject, const std::string& charset) {
  return EncodedWords(subject, charset, 57, "\r\n\t");
}

// ---- Header lines that stay lines
//
// A value that reaches a header comes from settings files edited by hand: a line break in it
// would start a header of its own, and a line over 998 octets is refused by servers that
// enforce the limit. Every value is cleaned, then encoded or folded before it is written.

constexpr size_t MaxLine = 998;
// Longest run without a blank that folding can still place on a line of its own.
constexpr size_t MaxWord = 900;
// Bytes per encoded word, so that a word stays within the 75 characters of RFC 2047.
constexpr size_t WordBytes = 45;
const char* const WordFold = "\r\n ";

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

// Control characters (line breaks and tabs included) become blanks.
std::string CleanText(const std::string& value) {
  std::string r = value;
  for (char& ch : r)
    if (IsControl(static_cast<unsigned char>(ch))) ch = ' ';
  return r;
}

bool IsPlainAscii(const std::string& text) {
  for (char ch : text)
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  return true;
}

bool HasLongWord(const std::string& text) {
  size_t run = 0;
  for (char ch : text) {
    run = (ch == ' ' || ch == '\t') ? 0 : run + 1;
    if (run > MaxWord) return true;
  }
  return false;
}

// Text that cannot stand in a header as it is (8-bit bytes, or a word too long to fold) goes
// out as encoded words.
bool NeedsWords(const std::string& text) {
  return !IsPlainAscii(text) || HasLongWord(text);
}

std::string UnstructuredValue(const std::string& value, const std::string& charset) {
  const std::string clean = CleanText(value);
  return NeedsWords(clean) ? EncodedWords(clean, charset, WordBytes, WordFold) : clean;
}

// Breaks every physical line of a header entry that is longer than the limit before its last
// blank that keeps it within the limit; the blank starts the continuation line. A line without
// such a blank (only a value nobody could mail, such as a 1000-character address) is cut
// where the limit falls, with a blank put in front of its rest.
std::string FoldLong(const std::string& entry) {
  std::string out;
  size_t pos = 0;
  while (pos <= entry.size()) {
    size_t end = entry.find("\r\n", pos);
    if (end == std::string::npos) end = entry.size();
    std::string line = entry.substr(pos, end - pos);
    while (line.size() > MaxLine) {
      size_t at = line.find_last_of(" \t", MaxLine);
      if (at != std::string::npos && Trim(line.substr(0, at)).empty()) at = std::string::npos;
      if (at == std::string::npos) {
        out += line.substr(0, MaxLine) + "\r\n";
        line = " " + line.substr(MaxLine);
      } else {
        out += line.substr(0, at) + "\r\n";
        line = line.substr(at);
      }
    }
    out += line;
    if (end == entry.size()) break;
    out += "\r\n";
    pos = end + 2;
  }
  return out;
}

// An address as it may stand in a header: no controls, no blanks, and plain ASCII, for there is
// no other way to write an address part without the server's SMTPUTF8.
std::string CleanAddress(const std::string& address) {
  std::string r;
  for (char ch : address)
    if (!IsControl(static_cast<unsigned char>(ch))) r += ch;
  if (!IsPlainAscii(r)) throw EQorvError("Mail address \"" + r + "\" is not plain ASCII");
  return r;
}

// A display name: in double quotes as the message always wrote it, with a quote or backslash
// inside escaped; non-ASCII text or an unfoldable name as encoded words.
std::string DisplayName(const std::string& name, const std::string& charset) {
  const std::string clean = Trim(CleanText(name));
  if (NeedsWords(clean)) return EncodedWords(clean, charset, WordBytes, WordFold);
  std::string quoted = "\"";
  for (char ch : clean) {
    if (ch == '"' || ch == '\\') quoted += '\\';
    quoted += ch;
  }
  return quoted + "\"";
}

// A file name in a part header: the quoted form when it is plain printable ASCII, else the
// RFC 2231 form in UTF-8, the file system's encoding here.
std::string FileNameParam(const char* param, const std::string& name) {
  bool plain = true;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7F || ch == '"' || ch == '\\') plain = false;
  }
  if (plain) return std::string(param) + "=\"" + name + "\"";
  static const char kHex[] = "0123456789ABCDEF";
  std::string r = std::string(param) + "*=utf-8''";
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || ch == '.' || ch == '-' || ch == '_') {
      r += ch;
    } else {
      r += '%';
      r += kHex[c >> 4];
      r += kHex[c & 15];
    }
  }
  return r;
}

// ---- Body lines that stay lines

bool HasLongLine(const TLines& lines) {
  for (const std::string& l : lines)
    if (l.size() > MaxLine) return true;
  return false;
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
  // "name" <address>, or <address> alone when the name is empty; "" when both are left out.
  std::string Mailbox(const std::string& name, const std::string& address, bool skipEmptyAddress) const;
  std::string SenderList(const TAddressList& list, bool replyStyle) const;
  std::string MessageIdDomain() const;

  void Add(const std::string& line) { body_.push_back(line); }
  void AddAll(const TLines& lines) { body_.insert(body_.end(), lines.begin(), lines.end()); }
  void BoundaryLine(const std::string& b) { Add("--" + b); }
  void ClosingLine(const std::string& b) { Add("--" + b + "--"); }
  void TextHead() {
    Add("Content-Type: text/plain;\r\n\tcharset=\"" + charset_ + "\"");
    Add("Content-Transfer-Encoding: " + textEncoding_);
  }
  void HtmlHead() {
    Add("Content-Type: text/html;\r\n\tcharset=\"" + charset_ + "\"");
    Add("Content-Transfer-Encoding: " + htmlEncoding_);
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
  // A part whose 8-bit lines would break the line limit goes out quoted-printable on its own.
  std::string textEncoding_;
  std::string htmlEncoding_;
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
      m_.Subject = EncodeSubject(CleanText(m_.Subject), charset_);
      text_ = Base64Lines(text_);
      html_ = Base64Lines(html_);
      encoding_ = "base64";
      break;
    case te8Bit:
    default: {
      encoding_ = "8Bit";
      const TLines text = text_, html = html_;
      DotStuff(text_);
      DotStuff(html_);
      if (HasLongLine(text_)) {
        text_ = QPLines(text);
        textEncoding_ = "quoted-printable";
      }
      if (HasLongLine(html_)) {
        html_ = QPLines(html);
        htmlEncoding_ = "quoted-printable";
      }
      break;
    }
  }
  if (textEncoding_.empty()) textEncoding_ = encoding_;
  if (htmlEncoding_.empty()) htmlEncoding_ = encoding_;
}

std::string TComposer::Mailbox(const std::string& name, const std::string& address,
                               bool skipEmptyAddress) const {
  std::string entry;
  const std::string trimmedName = Trim(name);
  if (!trimmedName.empty()) entry = DisplayName(trimmedName, charset_) + " ";
  if (!skipEmptyAddress || !Trim(address).empty()) entry += "<" + CleanAddress(address) + ">";
  return entry;
}

std::string TComposer::RecipientList(const TAddressList& list, bool skipEmptyAddress) const {
  std::string r;
  for (int i = 0; i < list.Count(); ++i) {
    const TMailAddress& e = list.Items(i);
    const std::string entry = Mailbox(e.Name, e.Address, skipEmptyAddress);
    if (entry.empty()) continue;
    if (!r.empty()) r += ",\r\n\t";
    r += entry;
  }
  return r;
}

// The From and Reply-To form: entries joined by "," on one line; with replyStyle an entry
// without a name is named by the local part of its address.
std::string TComposer::SenderList(const TAddressList& list, bool replyStyle) const {
  std::string r;
  for (int i = 0; i < list.Count(); ++i) {
    const TMailAddress& e = list.Items(i);
    const std::string address = Trim(e.Address);
    std::string name = e.Name;
    if (replyStyle && Trim(name).empty()) {
      const size_t at = address.find('@');
      name = at == std::string::npos ? std::string() : address.substr(0, at);
    }
    if (!r.empty()) r += ",";
    r += Mailbox(name, address, false);
  }
  return r;
}

// The sender's own domain names the message, as the receiving side expects; the host when the
// sender has none.
std::string TComposer::MessageIdDomain() const {
  if (m_.FromList().Count() > 0) {
    const std::string address = Trim(m_.FromList().Items(0).Address);
    const size_t at = address.rfind('@');
    if (at != std::string::npos && at + 1 < address.size()) return address.substr(at + 1);
  }
  return m_.LocalHost();
}

TLines TComposer::HeaderBlock(const std::string& contentType, bool writeEncoding) {
  TLines h;
  const bool bounce = m_.BounceMsg;
  if (!bounce && !Trim(m_.ReturnPath).empty()) h.push_back("Return-Path: " + CleanText(m_.ReturnPath));
  if (!bounce) h.push_back("Date: " + CleanText(m_.Date));
  h.push_back("Subject: " +
              (m_.TextEncoding == teBase64 ? m_.Subject : UnstructuredValue(m_.Subject, charset_)));
  h.push_back("From: " + SenderList(m_.FromList(), false));
  const bool ownReplyTo = m_.ReplyToList().Count() > 0;
  const std::string replyTo = SenderList(ownReplyTo ? m_.ReplyToList() : m_.FromList(), ownReplyTo);
  if (!bounce && !replyTo.empty()) h.push_back("Reply-To: " + replyTo);
  h.push_back("To: " + RecipientList(m_.SendToList(), false));
  std::string cc = RecipientList(m_.CCList(), true);
  if (!Trim(cc).empty()) h.push_back("CC: " + cc);
  // Blind copies are never written into the message: every recipient would read them.
  // They get their own envelope recipients from the SMTP client.
  if (!bounce && !m_.InReplyTo.empty()) h.push_back("In-Reply-To: " + CleanText(m_.InReplyTo));
  if (!bounce) h.push_back("Message-ID: " + CleanText(NewMessageId(MessageIdDomain(), m_.LocalAddr)));
  h.push_back(contentType);
  if (writeEncoding) h.push_back("Content-Transfer-Encoding: " + encoding_);
  // Normal priority is what a mail without the header has; writing it only marks the mail as unusual.
  if (!bounce && m_.Priority != prNormal)
    h.push_back("X-Priority: " + std::to_string(static_cast<int>(m_.Priority) + 1));
  if (!Trim(m_.XMailer).empty()) h.push_back("X-Mailer: " + UnstructuredValue(m_.XMailer, charset_));
  for (const std::string& l : m_.ExtraHeaders()) {
    const size_t colon = l.find(':');
    h.push_back(colon == std::string::npos
                    ? CleanText(l)
                    : l.substr(0, colon + 1) + UnstructuredValue(l.substr(colon + 1), charset_));
  }
  h.push_back("MIME-Version: 1.0");
  for (std::string& entry : h) entry = FoldLong(entry);
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
  Add("Content-Type: " + CleanText(a.ContentType) + ";\r\n\t" + FileNameParam("name", a.Name));
  Add("Content-Transfer-Encoding: base64");
}

void TComposer::AttachmentPart(TAttachedFile& a, const std::string& b) {
  EncodedPartHead(a, b);
  Add("Content-Disposition: attachment;\r\n\t" + FileNameParam("filename", a.Name));
  Add("");
  AddAll(a.EncodedLines);
  Add("");
}

void TComposer::InlinePart(TAttachedFile& a, const std::string& b) {
  EncodedPartHead(a, b);
  std::string id = Trim(a.ContentId);
  Add("Content-ID: <" + CleanText(id.empty() ? Trim(a.Name) : id) + ">");
  Add("Content-Description: " + UnstructuredValue(Trim(a.Name), charset_));
  Add("Content-Location: " + CleanText(Trim(a.Name)));
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
    encoding_ = textEncoding_;
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
