#include "mail/VumMIME.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <regex>

#include "mail/VumMsg.h"
#include "platform/uErrors.h"
#include "platform/uSystem.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using TLines = std::vector<std::string>;
using test::TTempDir;
using test::WriteFile;

// Runs a test in a chosen zone and restores the process's zone afterwards.
using TZone = test::TScopedTz;

std::string Boundary(const std::string& contentTypeEntry) {
  std::smatch m;
  if (!std::regex_search(contentTypeEntry, m, std::regex("boundary=\"([^\"]+)\""))) return "";
  return m[1];
}

size_t IndexOf(const TLines& lines, const std::string& line, size_t from = 0) {
  auto it = std::find(lines.begin() + static_cast<long>(from), lines.end(), line);
  return it == lines.end() ? std::string::npos : static_cast<size_t>(it - lines.begin());
}

TLines HeaderBlock(const TLines& raw) {
  return TLines(raw.begin(), raw.begin() + static_cast<long>(IndexOf(raw, "")));
}
TLines Body(const TLines& raw) {
  return TLines(raw.begin() + static_cast<long>(IndexOf(raw, "")) + 1, raw.end());
}

std::string Header(const TLines& raw, const std::string& name) {
  for (const std::string& h : HeaderBlock(raw))
    if (h.rfind(name + ": ", 0) == 0) return h.substr(name.size() + 2);
  return "<none>";
}

// The Content-Type entries in the order they stand, with their parameters cut off.
TLines ContentTypes(const TLines& lines) {
  TLines r;
  for (const std::string& l : lines)
    if (l.rfind("Content-Type: ", 0) == 0) r.push_back(l.substr(14, l.find_first_of(";\r") - 14));
  return r;
}

class ComposeTest : public ::testing::Test {
 protected:
  ComposeTest() {
    WriteFile(dir_ / "mime.types", "text/plain txt log\nimage/png png\n");
    WriteFile(dir_ / "run.log", "line one\n.dotted\n");
    WriteFile(dir_ / "logo.png", std::string("\x89PNG\r\n\x1A\n", 8) + std::string(100, '\x01'));
    msg_.Attachments().MimeTypesPath = dir_ / "mime.types";
    msg_.SetFrom("sender@example.org");
    msg_.SetSendTo("to@example.org");
  }
  TAttachedFile& Attach(const std::string& name, bool isInline) {
    TAttachedFile& a = msg_.Attachments().Add(dir_ / name, isInline ? "img1" : "");
    a.Inline = isInline;
    return a;
  }
  const TLines& Compose() {
    msg_.Compose();
    return msg_.RawMail();
  }

  TTempDir dir_;
  TVumMsg msg_;
};

TEST_F(ComposeTest, StructureFollowsTheContent) {
  struct Case {
    const char* name;
    bool text, html, bounce;
    std::vector<bool> attachments;  // Inline flag of each
    std::string topType, encoding;
    TLines bodyTypes;
  } cases[] = {
      {"plain", true, false, false, {}, "text/plain", "8Bit", {}},
      {"alternative", true, true, false, {}, "multipart/alternative", "8Bit", {"text/plain", "text/html"}},
      {"html only", false, true, false, {}, "multipart/alternative", "8Bit", {"text/plain", "text/html"}},
      {"related",
       true,
       true,
       false,
       {true},
       "multipart/related",
       "8Bit",
       {"multipart/alternative", "text/plain", "text/html", "image/png"}},
      {"related, no html", true, false, false, {true}, "multipart/related", "8Bit", {"text/plain"}},
      {"mixed",
       true,
       true,
       false,
       {false},
       "multipart/mixed",
       "8Bit",
       {"multipart/alternative", "text/plain", "text/html", "text/plain"}},
      {"mixed, no html",
       true,
       false,
       false,
       {false},
       "multipart/mixed",
       "8Bit",
       {"text/plain", "text/plain"}},
      {"mixed with a related group",
       true,
       true,
       false,
       {true, false},
       "multipart/mixed",
       "8Bit",
       {"multipart/related", "multipart/alternative", "text/plain", "text/html", "image/png", "text/plain"}},
      {"report",
       true,
       false,
       true,
       {false},
       "multipart/report",
       "<none>",
       {"text/plain", "message/delivery-status", "text/plain"}},
      {"bounce without attachments", true, false, true, {}, "text/plain", "8Bit", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TVumMsg m;
    m.Attachments().MimeTypesPath = dir_ / "mime.types";
    m.SetFrom("sender@example.org");
    m.SetSendTo("to@example.org");
    m.BounceMsg = c.bounce;
    m.BounceRecipient = "gone@far.example";
    if (c.text) m.Text() = {"Hello"};
    if (c.html) m.HTML() = {"<p>Hello</p>"};
    for (bool isInline : c.attachments) {
      TAttachedFile& a = m.Attachments().Add(dir_ / (isInline ? "logo.png" : "run.log"));
      a.Inline = isInline;
    }
    m.Compose();
    const TLines& raw = m.RawMail();
    std::string type = Header(raw, "Content-Type");
    EXPECT_EQ(type.substr(0, type.find(';')), c.topType);
    EXPECT_EQ(Header(raw, "Content-Transfer-Encoding"), c.encoding);
    EXPECT_EQ(ContentTypes(Body(raw)), c.bodyTypes);
    std::string b1 = Boundary(type);
    EXPECT_EQ(b1.empty(), c.topType == "text/plain");
    if (!b1.empty()) {
      EXPECT_EQ(std::count(raw.begin(), raw.end(), "--" + b1 + "--"), 1);
    }
  }
}

TEST_F(ComposeTest, PlainMessageCarriesTheTextHeadInItsHeader) {
  msg_.Text() = {"first", "", "last"};
  const TLines& raw = Compose();
  EXPECT_EQ(Body(raw), (TLines{"first", "", "last"}));
  TLines h = HeaderBlock(raw);
  EXPECT_NE(IndexOf(h, "Content-Type: text/plain;\r\n\tcharset=\"iso-8859-1\""), std::string::npos);
  EXPECT_NE(IndexOf(h, "Content-Transfer-Encoding: 8Bit"), std::string::npos);
}

TEST_F(ComposeTest, HtmlWithoutTextStillHasAnEmptyTextPartFirst) {
  msg_.HTML() = {"<p>hi</p>"};
  const TLines& raw = Compose();
  const std::string b1 = Boundary(Header(raw, "Content-Type"));
  TLines expected = {"This is a multi-part message in MIME format.",
                     "",
                     "--" + b1,
                     "Content-Type: text/plain;\r\n\tcharset=\"iso-8859-1\"",
                     "Content-Transfer-Encoding: 8Bit",
                     "",
                     "",
                     "--" + b1,
                     "Content-Type: text/html;\r\n\tcharset=\"iso-8859-1\"",
                     "Content-Transfer-Encoding: 8Bit",
                     "",
                     "<p>hi</p>",
                     "",
                     "",
                     "--" + b1 + "--",
                     ""};
  EXPECT_EQ(Body(raw), expected);
}

TEST_F(ComposeTest, EightBitBodiesAreDotStuffedButHeadersAreNot) {
  msg_.Subject = ".subject";
  msg_.Text() = {".", ".x", "a.b", ""};
  msg_.HTML() = {".<p>", "<img src=\"CID:part1\"> Cid:x"};
  const TLines& raw = Compose();
  EXPECT_EQ(Header(raw, "Subject"), ".subject");
  TLines body = Body(raw);
  for (const char* line : {"..", "..x", "a.b", "..<p>", "<img src=\"cid:part1\"> cid:x"})
    EXPECT_NE(IndexOf(body, line), std::string::npos) << line;
  EXPECT_EQ(IndexOf(body, "."), std::string::npos);
}

TEST_F(ComposeTest, QuotedPrintableModeEncodesAndGuardsLeadingDots) {
  msg_.TextEncoding = teQP;
  msg_.Text() = {"a=b", ".hidden", std::string(71, 'p') + ".x"};
  msg_.HTML() = {"<p>caf\xE9</p>"};
  const TLines& raw = Compose();
  TLines body = Body(raw);
  for (const std::string& line :
       TLines{"a=3Db", "=2Ehidden", std::string(71, 'p') + "=", "=2Ex", "<p>caf=E9</p>"})
    EXPECT_NE(IndexOf(body, line), std::string::npos) << line;
  EXPECT_EQ(std::count(body.begin(), body.end(), "Content-Transfer-Encoding: quoted-printable"), 2);
  // The multipart itself may only claim an identity encoding.
  EXPECT_EQ(Header(raw, "Content-Transfer-Encoding"), "8Bit");
}

TEST_F(ComposeTest, Base64ModeEncodesSubjectAndBodies) {
  TBase64Codec codec;
  msg_.TextEncoding = teBase64;
  msg_.Subject = "Short";
  msg_.Text() = {"one", "two"};
  Compose();
  EXPECT_EQ(msg_.Subject, "=?iso-8859-1?B?" + codec.Encode("Short", false) + "?=");
  EXPECT_EQ(Body(msg_.RawMail()), TLines{codec.Encode("one\r\ntwo\r\n", false)});
  EXPECT_EQ(Header(msg_.RawMail(), "Content-Transfer-Encoding"), "base64");

  // A long subject becomes several whole encoded words on folded lines.
  TVumMsg m;
  m.SetFrom("s@x");
  m.SetSendTo("t@y");
  m.TextEncoding = teBase64;
  m.CharSet = "UTF-8";
  std::string subject = std::string(56, 'a') + "\xC3\xA9" + std::string(10, 'b');  // é straddles byte 57
  m.Subject = subject;
  m.Compose();
  EXPECT_EQ(m.Subject, "=?utf-8?B?" + codec.Encode(std::string(56, 'a'), false) + "?=\r\n\t=?utf-8?B?" +
                           codec.Encode("\xC3\xA9" + std::string(10, 'b'), false) + "?=");

  TVumMsg e;
  e.SetFrom("s@x");
  e.SetSendTo("t@y");
  e.TextEncoding = teBase64;
  e.Compose();
  EXPECT_EQ(e.Subject,
            "=?iso-8859-1?B?"
            "?=");
}

TEST_F(ComposeTest, CharsetIsWrittenInLowerCase) {
  msg_.CharSet = "ISO-8859-1";
  msg_.Text() = {"t"};
  msg_.HTML() = {"h"};
  const TLines& raw = Compose();
  int charsets = 0;
  for (const std::string& l : raw) {
    EXPECT_EQ(l.find("ISO"), std::string::npos) << l;
    if (l.find("charset=\"iso-8859-1\"") != std::string::npos) ++charsets;
  }
  EXPECT_EQ(charsets, 2);
}

TEST_F(ComposeTest, HeaderBlockOrderAndOptionalLines) {
  msg_.ReturnPath = "bounces@example.org";
  msg_.Date = "Wed, 7 Dec 2011 14:05:09 +1300";
  msg_.Subject = "Report";
  msg_.SetReplyTo("Desk <desk@example.org>");
  msg_.SetSendTo("");
  msg_.SendToList().AddAddress("a@x", "Ann");
  msg_.SendToList().AddAddress("b@y", "");
  msg_.SendToList().AddAddress("c@z", " Carl ");
  msg_.CCList().AddAddress("", "Name Only");
  msg_.CCList().AddAddress("cc@x", "");
  msg_.SetBCC("hidden@example.org");
  msg_.InReplyTo = "<prev@x>";
  msg_.Priority = prHighest;
  msg_.XMailer = "TavikBackupCopy";
  msg_.ExtraHeaders() = {"X-Job: nightly"};
  msg_.Text() = {"t"};
  const TLines& raw = Compose();
  TLines h = HeaderBlock(raw);
  h.at(8) = h[8].substr(0, 16);  // the id itself is random; its shape is tested elsewhere
  EXPECT_EQ(h, (TLines{
                   "Return-Path: bounces@example.org",
                   "Date: Wed, 7 Dec 2011 14:05:09 +1300",
                   "Subject: Report",
                   "From: <sender@example.org>",
                   "Reply-To: \"Desk\" <desk@example.org>",
                   "To: \"Ann\" <a@x>,\r\n\t<b@y>,\r\n\t\"Carl\" <c@z>",
                   "CC: \"Name Only\" ,\r\n\t<cc@x>",
                   "In-Reply-To: <prev@x>",
                   "Message-ID: <VUM",
                   "Content-Type: text/plain;\r\n\tcharset=\"iso-8859-1\"",
                   "Content-Transfer-Encoding: 8Bit",
                   "X-Priority: 1",
                   "X-Mailer: TavikBackupCopy",
                   "X-Job: nightly",
                   "MIME-Version: 1.0",
               }));
  for (const std::string& l : raw) EXPECT_EQ(l.find("hidden@example.org"), std::string::npos);

  msg_.Priority = prLowest;
  msg_.CCList().Clear();
  msg_.CCList().AddAddress(" ", " ");
  Compose();
  EXPECT_EQ(Header(msg_.RawMail(), "X-Priority"), "5");
  EXPECT_EQ(Header(msg_.RawMail(), "CC"), "<none>");
}

TEST_F(ComposeTest, BounceLeavesOutTheOriginatorLines) {
  msg_.BounceMsg = true;
  msg_.SetFrom("MAILER-DAEMON");
  msg_.ReturnPath = "r@x";
  msg_.InReplyTo = "<i@x>";
  msg_.BounceRecipient = "gone@far.example";
  msg_.BounceEnvelopeId = "env-1";
  msg_.Text() = {"Delivery failed."};
  WriteFile(dir_ / "orig.txt", "Subject: hello\r\n.From: odd\r\n\r\nbody not returned\r\n");
  msg_.Attachments().Add(dir_ / "orig.txt");
  const TLines& raw = Compose();
  for (const char* name : {"Return-Path", "Date", "Reply-To", "In-Reply-To", "Message-ID", "X-Priority",
                           "Content-Transfer-Encoding"})
    EXPECT_EQ(Header(raw, name), "<none>") << name;
  EXPECT_TRUE(msg_.Date.empty());
  TLines body = Body(raw);
  size_t at = IndexOf(body, "Content-Type: message/delivery-status");
  ASSERT_NE(at, std::string::npos);
  TLines fields(body.begin() + static_cast<long>(at) + 2, body.begin() + static_cast<long>(at) + 12);
  fields.at(3) = fields[3].substr(0, 14);  // the arrival stamp is the current time
  EXPECT_EQ(fields, (TLines{
                        "Reporting-MTA: dns; far.example",
                        "Original-Envelope-ID: env-1",
                        "",
                        "Arrival-Date: ",
                        "Original-Recipient: rfc822;gone@far.example",
                        "Final-Recipient: rfc822;gone@far.example",
                        "SMTP-Remote-Recipient: gone@far.example",
                        "Diagnostic-Code: smtp; 550 error - no such recipient",
                        "Action: failed",
                        "Status: 5.0.0",
                    }));
  // The returned headers go out unencoded, up to their first empty line, and dot-stuffed.
  size_t part = IndexOf(body, "Content-Type: text/plain", at);
  ASSERT_NE(part, std::string::npos);
  EXPECT_EQ(TLines(body.begin() + static_cast<long>(part) + 1, body.begin() + static_cast<long>(part) + 5),
            (TLines{"", "Subject: hello", "..From: odd", ""}));
}

TEST_F(ComposeTest, FailuresLeaveRawMailEmpty) {
  struct Case {
    std::string from, to;
    bool bounce;
    std::string error;
  } cases[] = {
      {"Just A Name", "t@x", false, "\"From\" address not complete."},
      {"", "t@x", false, "\"From\" address not complete."},
      {"s@x", "", false, "No e-mail addresses in the SendTo field."},
      {"", "", true, "No e-mail addresses in the SendTo field."},
  };
  for (const auto& c : cases) {
    TVumMsg m;
    m.SetFrom(c.from);
    m.SetSendTo(c.to);
    m.BounceMsg = c.bounce;
    m.SetText({"x"});
    try {
      m.Compose();
      ADD_FAILURE() << "no error for " << c.from;
    } catch (const EQorvError& e) {
      EXPECT_EQ(e.Message(), c.error);
    }
    EXPECT_TRUE(m.RawMail().empty());
    EXPECT_EQ(m.Date.empty(), c.bounce);  // the stamped date stays
  }
  TVumMsg b;
  b.SetFrom("Just A Name");
  b.SetSendTo("t@x");
  b.BounceMsg = true;
  EXPECT_NO_THROW(b.Compose());
  EXPECT_FALSE(b.RawMail().empty());
}

TEST(MailDate, ZoneBiasIsWrittenWithTheMailSign) {
  struct Case {
    int bias;
    std::string text;
  } cases[] = {{0, "+0000"}, {-780, "+1300"}, {300, "-0500"}, {-330, "+0530"}, {60, "-0100"}, {-45, "+0045"}};
  for (const auto& c : cases) EXPECT_EQ(FormatZoneBias(c.bias), c.text) << c.bias;
}

TEST(MailDate, UsesTheZoneDataOfTheCLibrary) {
  {
    TZone utc("UTC0");
    TDateTime t = FromLocal(2011, 12, 7, 14, 5, 9);
    EXPECT_EQ(MailDate(t), "Wed, 7 Dec 2011 14:05:09 +0000");
  }
  {
    TZone ahead("TST-13");
    EXPECT_EQ(MailDate(FromLocal(2011, 12, 7, 14, 5, 9)), "Wed, 7 Dec 2011 14:05:09 +1300");
  }
  {
    // Windows' C library takes no rule after the zone's names, and under Wine applies no summer
    // time from TZ at all: there the summer's offset is the system's own zone's business.
    const bool windows = PathDelim == '\\';
    TZone behind(windows ? "EST5EDT" : "EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(MailDate(FromLocal(2024, 1, 14, 8, 0, 0)), "Sun, 14 Jan 2024 08:00:00 -0500");
    if (!windows) {
      EXPECT_EQ(MailDate(FromLocal(2024, 7, 1, 23, 59, 59)), "Mon, 1 Jul 2024 23:59:59 -0400");
    }
  }
  {
    TZone utc("UTC0");
    TVumMsg m;
    m.SetFrom("s@x");
    m.SetSendTo("t@y");
    m.Compose();
    EXPECT_TRUE(m.Date.size() > 5 && m.Date.substr(m.Date.size() - 5) == "+0000") << m.Date;
    std::string kept = m.Date;
    m.Compose();
    EXPECT_EQ(m.Date, kept);
  }
}

TEST(Generators, MessageIdAndBoundaryShapes) {
  TZone utc("UTC0");
  PinClock(FromLocal(2011, 12, 7, 14, 5, 9));
  std::string id = NewMessageId("a.b.c", "");
  std::string boundary = NewBoundary();
  std::string fromAddr = NewMessageId("host.example", " 10.0.0.1 ");
  std::string wide = NewMessageId("h", "192.168.0.255");
  UnpinClock();
  EXPECT_TRUE(std::regex_match(id, std::regex("<VUM20111207\\$[0-9A-F]{8}\\.\\$[0-9A-F]{8}@a\\.b\\.c>")))
      << id;
  EXPECT_TRUE(
      std::regex_match(boundary, std::regex("----=_VUMbound_14_0509_20111207_[0-9A-F]{8}\\.[0-9A-F]{8}")))
      << boundary;
  EXPECT_TRUE(
      std::regex_match(fromAddr, std::regex("<VUM20111207\\$0A000001\\.\\$[0-9A-F]{8}@host\\.example>")))
      << fromAddr;
  EXPECT_NE(wide.find("$C0A800FF.$"), std::string::npos) << wide;
  EXPECT_NE(NewBoundary(), NewBoundary());
  for (const char* bad : {"10.0.x.1", "10.0.0", "10..0.1", "1.2.3.4.5"})
    EXPECT_THROW(NewMessageId("h", bad), EQorvError) << bad;
}

// The notifier's log mail, entry by entry.
TEST_F(ComposeTest, LogMailMatchesEntryByEntry) {
  TVumMsg m;
  m.Attachments().MimeTypesPath = dir_ / "mime.types";
  m.SetFrom("backup@example.org");
  m.SetReplyTo("backup@example.org");
  for (const char* r : {"ops@example.org", "boss@example.org"}) m.SendToList().AddAddress(r, r);
  m.Subject = "Backup log";
  m.HTML() = {"<html>", ".dot line", "</html>"};
  m.Attachments().Add(dir_ / "run.log");
  m.Compose();
  const TLines& raw = m.RawMail();
  const std::string b1 = Boundary(Header(raw, "Content-Type"));
  const std::string b2 = Boundary(raw.at(IndexOf(raw, "--" + b1) + 1));
  ASSERT_FALSE(b1.empty());
  ASSERT_FALSE(b2.empty());
  ASSERT_NE(b1, b2);
  TLines expected = {
      "Date: " + m.Date,
      "Subject: Backup log",
      "From: <backup@example.org>",
      "Reply-To: \"backup\" <backup@example.org>",
      "To: \"ops@example.org\" <ops@example.org>,\r\n\t\"boss@example.org\" <boss@example.org>",
      "Message-ID: " + Header(raw, "Message-ID"),
      "Content-Type: multipart/mixed;\r\n\tboundary=\"" + b1 + "\"",
      "Content-Transfer-Encoding: 8Bit",
      "MIME-Version: 1.0",
      "",
      "This is a multi-part message in MIME format.",
      "",
      "--" + b1,
      "Content-Type: multipart/alternative;\r\n\tboundary=\"" + b2 + "\"",
      "",
      "--" + b2,
      "Content-Type: text/plain;\r\n\tcharset=\"iso-8859-1\"",
      "Content-Transfer-Encoding: 8Bit",
      "",
      "",
      "--" + b2,
      "Content-Type: text/html;\r\n\tcharset=\"iso-8859-1\"",
      "Content-Transfer-Encoding: 8Bit",
      "Content-Disposition: inline",
      "",
      "<html>",
      "..dot line",
      "</html>",
      "",
      "--" + b2 + "--",
      "",
      "--" + b1,
      "Content-Type: text/plain;\r\n\tname=\"run.log\"",
      "Content-Transfer-Encoding: base64",
      "Content-Disposition: attachment;\r\n\tfilename=\"run.log\"",
      "",
      TBase64Codec().Encode("line one\n.dotted\n", false),
      "",
      "--" + b1 + "--",
      "",
  };
  ASSERT_EQ(raw.size(), expected.size());
  for (size_t i = 0; i < raw.size(); ++i) EXPECT_EQ(raw[i], expected[i]) << "entry " << i;
}

}  // namespace
}  // namespace tavik
