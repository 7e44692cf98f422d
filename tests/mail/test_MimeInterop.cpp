// Composed messages read back by Python's email package, the reader a real mailbox would use.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "mail/VumMsg.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using TLines = std::vector<std::string>;
using test::TTempDir;
using test::WriteFile;

const char* const kPython = "/usr/bin/python3";

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string r;
  for (unsigned char c : bytes) {
    r += kDigits[c >> 4];
    r += kDigits[c & 15];
  }
  return r;
}

// Text as the reader's dump compares it: lines joined by LF, trailing empty lines gone.
std::string TextBody(const TLines& lines) {
  std::string r;
  for (const std::string& l : lines) r += l + "\n";
  while (!r.empty() && r.back() == '\n') r.pop_back();
  return Hex(r);
}

std::string Part(int depth, const std::string& type) {
  return "part " + std::to_string(depth) + " " + type + " defects=0";
}

std::string Leaf(int depth, const std::string& type, const std::string& charset, const std::string& file,
                 const std::string& cid, const std::string& hexBody) {
  return "part " + std::to_string(depth) + " " + type + " charset=" + charset + " file=" + file +
         " cid=" + cid + " defects=0 body=" + hexBody;
}

class MimeInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kPython)) GTEST_SKIP() << kPython << " is not installed";
    WriteFile(dir_ / "mime.types", "application/x-blob bin\nimage/png png\ntext/plain log txt\n");
    std::mt19937 gen(11);
    blob_.resize(5000);
    for (char& c : blob_) c = static_cast<char>(gen() & 0xFF);
    WriteFile(dir_ / "data.bin", blob_);
    png_ = std::string("\x89PNG\r\n\x1A\n", 8) + std::string(300, '\x07');
    WriteFile(dir_ / "logo.png", png_);
  }

  void Fill(TVumMsg& m) {
    m.Attachments().MimeTypesPath = dir_ / "mime.types";
    m.SetFrom("Backup Robot <backup@example.org>");
    m.SetSendTo("ops@example.org, Boss <boss@example.org>");
    m.SetCC("cc@example.org");
    m.SetBCC("hidden@example.org");
    m.Subject = "Nightly run";
  }

  // What the reader gets after the SMTP server has undone the dot-stuffing.
  std::string ReadBack(const TVumMsg& m) {
    std::string wire;
    for (const std::string& entry : m.RawMail()) wire += entry + "\r\n";
    std::string delivered;
    size_t pos = 0;
    while (pos < wire.size()) {
      size_t end = wire.find("\r\n", pos) + 2;
      std::string line = wire.substr(pos, end - pos);
      EXPECT_NE(line, ".\r\n") << "a lone dot would end the transfer";
      delivered += line[0] == '.' ? line.substr(1) : line;
      pos = end;
    }
    WriteFile(dir_ / "message.eml", delivered);
    std::string cmd = std::string(kPython) + " " TAVIK_SOURCE_DIR "/tests/mail/mime_dump.py '" +
                      (dir_ / "message.eml") + "'";
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
      char buf[4096];
      while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
      EXPECT_EQ(::pclose(p), 0) << out;
    }
    return out;
  }

  std::string Expected(const std::string& subjectBytes, const TLines& parts,
                       const std::string& cte = "8Bit") {
    std::string r = "subject " + Hex(subjectBytes) + "\n";
    r += "from backup@example.org\nto ops@example.org,boss@example.org\ncc cc@example.org\nbcc absent\n";
    r += "cte " + cte + "\nheader defects=0\n";
    for (const std::string& p : parts) r += p + "\n";
    return r;
  }

  TTempDir dir_;
  std::string blob_, png_;
  const TLines text_ = {"Hello,", ".a line with a leading dot", ".", "caf\xE9 = 100%", "end"};
  const TLines html_ = {"<html><body>", ".<p>dot</p>", "<img src=\"CID:logo\">", "</body></html>"};
  const TLines htmlSent_ = {"<html><body>", ".<p>dot</p>", "<img src=\"cid:logo\">", "</body></html>"};
};

TEST_F(MimeInteropTest, PlainText) {
  TVumMsg m;
  Fill(m);
  m.Text() = text_;
  m.Compose();
  EXPECT_EQ(ReadBack(m),
            Expected("Nightly run", {Leaf(0, "text/plain", "iso-8859-1", "-", "-", TextBody(text_))}));
}

TEST_F(MimeInteropTest, AlternativeWithHtmlOnly) {
  TVumMsg m;
  Fill(m);
  m.HTML() = html_;
  m.Compose();
  EXPECT_EQ(ReadBack(m),
            Expected("Nightly run",
                     {Part(0, "multipart/alternative"), Leaf(1, "text/plain", "iso-8859-1", "-", "-", ""),
                      Leaf(1, "text/html", "iso-8859-1", "-", "-", TextBody(htmlSent_))}));
}

TEST_F(MimeInteropTest, MixedWithAnAttachment) {
  TVumMsg m;
  Fill(m);
  m.Text() = text_;
  m.HTML() = html_;
  m.Attachments().Add(dir_ / "data.bin");
  m.Compose();
  EXPECT_EQ(ReadBack(m),
            Expected("Nightly run", {Part(0, "multipart/mixed"), Part(1, "multipart/alternative"),
                                     Leaf(2, "text/plain", "iso-8859-1", "-", "-", TextBody(text_)),
                                     Leaf(2, "text/html", "iso-8859-1", "-", "-", TextBody(htmlSent_)),
                                     Leaf(1, "application/x-blob", "-", "data.bin", "-", Hex(blob_))}));
}

TEST_F(MimeInteropTest, RelatedWithInlinePicture) {
  TVumMsg m;
  Fill(m);
  m.Text() = text_;
  m.HTML() = html_;
  m.Attachments().Add(dir_ / "logo.png", "logo").Inline = true;
  m.Compose();
  EXPECT_EQ(ReadBack(m),
            Expected("Nightly run", {Part(0, "multipart/related"), Part(1, "multipart/alternative"),
                                     Leaf(2, "text/plain", "iso-8859-1", "-", "-", TextBody(text_)),
                                     Leaf(2, "text/html", "iso-8859-1", "-", "-", TextBody(htmlSent_)),
                                     Leaf(1, "image/png", "-", "logo.png", "<logo>", Hex(png_))}));
}

TEST_F(MimeInteropTest, MixedAroundARelatedGroup) {
  TVumMsg m;
  Fill(m);
  m.Text() = text_;
  m.HTML() = html_;
  m.Attachments().Add(dir_ / "logo.png", "logo").Inline = true;
  m.Attachments().Add(dir_ / "data.bin");
  m.Compose();
  EXPECT_EQ(ReadBack(m),
            Expected("Nightly run", {Part(0, "multipart/mixed"), Part(1, "multipart/related"),
                                     Part(2, "multipart/alternative"),
                                     Leaf(3, "text/plain", "iso-8859-1", "-", "-", TextBody(text_)),
                                     Leaf(3, "text/html", "iso-8859-1", "-", "-", TextBody(htmlSent_)),
                                     Leaf(2, "image/png", "-", "logo.png", "<logo>", Hex(png_)),
                                     Leaf(1, "application/x-blob", "-", "data.bin", "-", Hex(blob_))}));
}

TEST_F(MimeInteropTest, DeliveryStatusReport) {
  TVumMsg m;
  m.Attachments().MimeTypesPath = dir_ / "mime.types";
  m.BounceMsg = true;
  m.SetFrom("MAILER-DAEMON@example.org");
  m.SetSendTo("backup@example.org");
  m.Subject = "Undeliverable";
  m.BounceRecipient = "gone@far.example";
  m.BounceEnvelopeId = "env-7";
  m.Text() = {"The mail could not be delivered."};
  WriteFile(dir_ / "orig.txt", "Subject: hello\r\nFrom: backup@example.org\r\n\r\nbody\r\n");
  m.Attachments().Add(dir_ / "orig.txt");
  m.Compose();
  std::string expected =
      "subject " + Hex("Undeliverable") +
      "\nfrom MAILER-DAEMON@example.org\nto backup@example.org\nbcc absent\ncte -\nheader defects=0\n" +
      Part(0, "multipart/report") + "\n" + Leaf(1, "text/plain", "iso-8859-1", "-", "-", TextBody(m.Text())) +
      "\n" + Part(1, "message/delivery-status") + "\n" +
      "dsblock 2 Reporting-MTA=dns; far.example;Original-Envelope-ID=env-7\n"
      "dsblock 2 Original-Recipient=rfc822;gone@far.example;Final-Recipient=rfc822;gone@far."
      "example;SMTP-Remote-Recipient=gone@far.example;Diagnostic-Code=smtp; 550 error - no such "
      "recipient;Action=failed;Status=5.0.0\n" +
      Leaf(1, "text/plain", "-", "-", "-", TextBody({"Subject: hello", "From: backup@example.org"})) + "\n";
  EXPECT_EQ(ReadBack(m), expected);
}

TEST_F(MimeInteropTest, QuotedPrintableMode) {
  TVumMsg m;
  Fill(m);
  m.TextEncoding = teQP;
  TLines text = text_;
  text.push_back(std::string(75, 'x') + ".continued after a soft break at a dot");
  text.push_back(std::string(200, '=') + "\x01\xFF");
  m.Text() = text;
  m.HTML() = html_;
  m.Attachments().Add(dir_ / "data.bin");
  m.Compose();
  EXPECT_EQ(ReadBack(m),
            Expected("Nightly run", {Part(0, "multipart/mixed"), Part(1, "multipart/alternative"),
                                     Leaf(2, "text/plain", "iso-8859-1", "-", "-", TextBody(text)),
                                     Leaf(2, "text/html", "iso-8859-1", "-", "-", TextBody(htmlSent_)),
                                     Leaf(1, "application/x-blob", "-", "data.bin", "-", Hex(blob_))}));

  TVumMsg plain;
  Fill(plain);
  plain.TextEncoding = teQP;
  plain.Text() = text;
  plain.Compose();
  EXPECT_EQ(ReadBack(plain),
            Expected("Nightly run", {Leaf(0, "text/plain", "iso-8859-1", "-", "-", TextBody(text))},
                     "quoted-printable"));
}

TEST_F(MimeInteropTest, Base64ModeWithALongSubject) {
  TVumMsg m;
  Fill(m);
  m.TextEncoding = teBase64;
  m.CharSet = "UTF-8";
  std::string subject;
  for (int i = 0; i < 12; ++i) subject += "Sauvegarde r\xC3\xA9ussie ";  // 240 bytes, é across word edges
  m.Subject = subject;
  TLines text = {"Bonjour,", ".point", "r\xC3\xA9sum\xC3\xA9 " + std::string(120, 'y')};
  m.Text() = text;
  m.HTML() = html_;
  m.Attachments().Add(dir_ / "data.bin");
  m.Compose();
  EXPECT_EQ(ReadBack(m),
            Expected(subject, {Part(0, "multipart/mixed"), Part(1, "multipart/alternative"),
                               Leaf(2, "text/plain", "utf-8", "-", "-", TextBody(text)),
                               Leaf(2, "text/html", "utf-8", "-", "-", TextBody(htmlSent_)),
                               Leaf(1, "application/x-blob", "-", "data.bin", "-", Hex(blob_))}));
}

// Whatever a value holds (line breaks from a hand-edited settings file, text in any script, a word
// of two thousand characters), every line on the wire stays within 998 octets, no value adds a
// header, and the reader finds no defect and gets the exact text back.
struct TLimitCase {
  const char* name;
  std::string subject;
  std::string fromName;
  std::string toName;
  TLines text;
  TLines html;
  std::string subjectRead;  // what the reader decodes; the subject itself when empty
};

TEST_F(MimeInteropTest, LinesAndHeadersStayWithinTheRules) {
  const std::string tokyo = "\xE6\x9D\xB1\xE4\xBA\xAC", buero = "B\xC3\xBCro";
  std::string words;
  for (int i = 0; i < 300; ++i) words += "word" + std::to_string(i) + " ";
  const TLimitCase cases[] = {
      {"LineBreaksInValues",
       "Report\r\nBcc: evil@example.org",
       "Robot\r\nX-Evil: 1",
       "Ops\nTeam",
       {"plain"},
       {},
       "Report  Bcc: evil@example.org"},
      {"TextInAnyScript",
       buero + " " + tokyo + " backup",
       "J\xC3\xBCrgen",
       tokyo,
       {buero, tokyo},
       {"<p>" + tokyo + "</p>"},
       ""},
      {"SubjectWithoutBlanks", std::string(2000, 'x'), "Robot", "Ops", {"plain"}, {}, ""},
      {"SubjectOfManyWords", words + "end", "Robot", "Ops", {"plain"}, {}, ""},
      {"LongBodyLines",
       "Errors",
       "Robot",
       "Ops",
       {std::string(1500, 't'), "." + std::string(999, 'u')},
       {"<p>" + std::string(3000, 'h') + tokyo + "</p>", "short"},
       ""},
  };
  for (const TLimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    TVumMsg m;
    m.CharSet = "utf-8";
    m.SetFrom("backup@example.org");
    m.FromList().Items(0).Name = c.fromName;
    m.SendToList().AddAddress("ops@example.org", c.toName);
    m.Subject = c.subject;
    m.Text() = c.text;
    m.HTML() = c.html;
    m.Compose();
    for (const std::string& entry : m.RawMail())
      for (size_t pos = 0, end; pos <= entry.size(); pos = end + 2) {
        end = entry.find("\r\n", pos);
        if (end == std::string::npos) end = entry.size();
        EXPECT_LE(end - pos, 998u) << entry.substr(pos, 60);
        if (end == entry.size()) break;
      }
    const std::string dump = ReadBack(m);
    EXPECT_NE(dump.find("subject " + Hex(c.subjectRead.empty() ? c.subject : c.subjectRead) + "\n"),
              std::string::npos)
        << dump.substr(0, 300);
    EXPECT_NE(dump.find("\nto ops@example.org\n"), std::string::npos) << dump.substr(0, 300);
    EXPECT_NE(dump.find("\nbcc absent\n"), std::string::npos);
    EXPECT_NE(dump.find("\nheader defects=0\n"), std::string::npos) << dump.substr(0, 300);
    EXPECT_EQ(dump.find("defects=0 ") == std::string::npos, false);
    for (size_t at = dump.find("defects="); at != std::string::npos; at = dump.find("defects=", at + 1))
      EXPECT_EQ(dump[at + 8], '0') << dump.substr(at, 40);
    EXPECT_NE(dump.find("text/plain charset=utf-8 file=- cid=- defects=0 body=" + TextBody(c.text)),
              std::string::npos);
    if (!c.html.empty()) {
      EXPECT_NE(dump.find("text/html charset=utf-8 file=- cid=- defects=0 body=" + TextBody(c.html)),
                std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tavik
