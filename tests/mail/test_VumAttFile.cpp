#include "mail/VumAttFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>

#include "platform/uErrors.h"
#include "platform/uSystem.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

// An independent decoder, so round trips do not trust the encoder's own tables.
std::string DecodeBase64(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  int bits = 0, acc = 0;
  for (char c : text) {
    int v = value(c);
    if (v < 0) continue;
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string Repeat(const std::string& s, int n) {
  std::string r;
  while (n-- > 0) r += s;
  return r;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string StreamEncode(const std::string& bytes, size_t chunk) {
  TStringSink sink;
  {
    TBase64EncodingStream enc(sink);
    for (size_t pos = 0; pos < bytes.size(); pos += chunk)
      enc.Write(bytes.data() + pos, std::min(chunk, bytes.size() - pos));
  }
  return sink.Data;
}

// Every line but the last is exactly 76 characters followed by CRLF; the last has no break.
void ExpectLineShape(const std::string& out, size_t inputBytes) {
  size_t pos = 0;
  while (out.size() - pos > 76) {
    ASSERT_EQ(out.substr(pos + 76, 2), "\r\n") << "at " << pos;
    ASSERT_EQ(out.substr(pos, 76).find('\r'), std::string::npos);
    pos += 78;
  }
  EXPECT_EQ(out.find("\r\n", pos), std::string::npos);
  size_t chars = (inputBytes + 2) / 3 * 4;
  // A break follows every full line of whole groups; the padded group never adds one.
  EXPECT_EQ(out.size(), chars + inputBytes / 57 * 2);
}

TEST(Base64EncodingStream, KnownShapesAtTheLineAndPaddingBoundaries) {
  struct Case {
    std::string input, expected;
  } cases[] = {
      {"", ""},
      {"M", "TQ=="},
      {"Ma", "TWE="},
      {"Man", "TWFu"},
      {std::string(57, 'a'), Repeat("YWFh", 19) + "\r\n"},
      {std::string(58, 'a'), Repeat("YWFh", 19) + "\r\nYQ=="},
      {std::string(59, 'a'), Repeat("YWFh", 19) + "\r\nYWE="},
      {std::string(114, 'a'), Repeat("YWFh", 19) + "\r\n" + Repeat("YWFh", 19) + "\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StreamEncode(c.input, 1), c.expected) << c.input.size();
    EXPECT_EQ(StreamEncode(c.input, 1000), c.expected) << c.input.size();
  }
}

TEST(Base64EncodingStream, ChunkingNeverChangesTheOutput) {
  for (size_t n : {1u, 2u, 56u, 57u, 58u, 114u, 115u, 1000u, 70000u}) {
    std::string bytes = RandomBytes(n, static_cast<unsigned>(n));
    std::string whole = StreamEncode(bytes, n);
    ExpectLineShape(whole, n);
    EXPECT_EQ(DecodeBase64(whole), bytes) << n;
    for (size_t chunk : {1u, 2u, 5u, 77u, 1024u})
      EXPECT_EQ(StreamEncode(bytes, chunk), whole) << n << "/" << chunk;
  }
}

TEST(Base64EncodingStream, RefusesReadsAndAnswersOnlyPositionQueries) {
  TStringSink sink;
  TBase64EncodingStream enc(sink);
  enc.Write("abcdefg", 7);  // two full groups written, one byte pending
  char buf[4];
  try {
    enc.Read(buf, 4);
    FAIL() << "Read must fail";
  } catch (const EStreamError& e) {
    EXPECT_EQ(e.Message(), "Invalid stream operation");
  }
  EXPECT_EQ(enc.Seek(0, soCurrent), 8);
  EXPECT_EQ(enc.Seek(0, soEnd), 8);
  EXPECT_EQ(enc.Seek(8, soBeginning), 8);
  EXPECT_THROW(enc.Seek(0, soBeginning), EStreamError);
  EXPECT_THROW(enc.Seek(1, soCurrent), EStreamError);
  EXPECT_THROW(enc.Seek(-1, soEnd), EStreamError);
}

TEST(Base64Codec, LineBreaksOnlyBetweenFullLines) {
  TBase64Codec codec;
  const std::string line = Repeat("enp6", 19);
  EXPECT_EQ(codec.Encode(std::string(57, 'z'), true), line);
  EXPECT_EQ(codec.Encode(std::string(114, 'z'), true), line + "\r\n" + line);
  EXPECT_EQ(codec.Encode(std::string(58, 'z'), true), line + "\r\neg==");
  EXPECT_EQ(codec.Encode(std::string(58, 'z'), false), line + "eg==");
  EXPECT_EQ(codec.Encode("user", false), "dXNlcg==");
  std::string big = RandomBytes(1000, 7);
  EXPECT_EQ(codec.Encode(big, true), StreamEncode(big, 1000));
  EXPECT_EQ(DecodeBase64(codec.Encode(big, false)), big);
}

TEST(Base64Codec, EmptyTextIsAnError) {
  try {
    TBase64Codec().Encode("", true);
    FAIL() << "must throw";
  } catch (const EQorvError& e) {
    EXPECT_EQ(e.Message(), "Invalid Base64 String - Length:0");
  }
}

TEST(QPCodec, Cases) {
  const std::string p70(70, 'p'), p71(71, 'p');
  struct Case {
    std::vector<std::string> in;
    std::string out;
  } cases[] = {
      {{"a=b"}, "a=3Db"},
      {{"caf\xE9"}, "caf=E9"},
      {{"tab\there", "\x7F\x01"}, "tab\there\r\n=7F=01"},
      {{"trailing  ", "tab\t"}, "trailing  \r\ntab\t"},
      {{""}, ""},
      {{"a", ""}, "a"},
      {{"a", "", "b"}, "a\r\n\r\nb"},
      {{p70}, p70},
      {{p71}, p71 + "="},
      {{p71, "x"}, p71 + "=\r\n\r\nx"},
      {{p71 + "q"}, p71 + "=\r\nq"},
      // An escape that crosses column 70 stays whole before the soft break.
      {{std::string(69, 'p') + "=x"}, std::string(69, 'p') + "=3D=\r\nx"},
  };
  for (const auto& c : cases) EXPECT_EQ(TQPCodec().Encode(c.in), c.out) << c.in[0];
}

TEST(ContentType, ComesFromTheGivenTableAndFallsBack) {
  TTempDir dir;
  WriteFile(dir / "mime.types",
            "# comment text/x-wrong txt\n"
            "text/plain\t\ttxt conf\n"
            "application/pdf pdf\n"
            "\n"
            "image/jpeg jpeg jpg\n");
  const std::string table = dir / "mime.types";
  struct Case {
    std::string path, type;
  } cases[] = {
      {"/x/report.txt", "text/plain"},
      {"/x/a.b/settings.CONF", "text/plain"},
      {"doc.PDF", "application/pdf"},
      {"/x/photo.jpg", "image/jpeg"},
      {"/x/noext", "application/octet-stream"},
      {"/x.d/noext", "application/octet-stream"},
      {"/x/file.zzz", "application/octet-stream"},
      // Logs are text even where the table does not say so; the table still has the last word.
      {"/x/TavikBackupCopy-Log-root-host.log", "text/plain"},
      {"/x/RUN.LOG", "text/plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(LookupContentType(c.path, table), c.type) << c.path;
  EXPECT_EQ(LookupContentType("a.txt", dir / "missing.types"), "application/octet-stream");
  WriteFile(dir / "logs.types", "application/x-log log\n");
  EXPECT_EQ(LookupContentType("a.log", dir / "logs.types"), "application/x-log");

  TAttachedFiles files;
  files.MimeTypesPath = table;
  // A path in the system's own separators.
  std::string run = "/data/logs/run.txt";
  std::replace(run.begin(), run.end(), '/', PathDelim);
  TAttachedFile& a = files.Add(run);
  TAttachedFile& b = files.Add("/data/logo.jpg", "logo1");
  ASSERT_EQ(files.Count(), 2);
  EXPECT_EQ(&files.Items(0), &a);
  EXPECT_EQ(a.Name, "run.txt");
  EXPECT_EQ(a.FilePath, run);
  EXPECT_EQ(a.ContentType, "text/plain");
  EXPECT_EQ(a.ContentId, "");
  EXPECT_FALSE(a.Inline);
  EXPECT_EQ(b.ContentType, "image/jpeg");
  EXPECT_EQ(b.ContentId, "logo1");
  EXPECT_EQ(a.ThreadTag, std::to_string(CurrentThreadId()));
}

// Points the system's temporary folder at a folder of the test's own, to see the encoder's files.
class AttachedFileTest : public ::testing::Test {
 protected:
  // Windows' temporary folder is named by TMP.
  static constexpr const char* TempVar = PathDelim == '\\' ? "TMP" : "TMPDIR";
  void SetUp() override {
    if (const char* old = std::getenv(TempVar)) saved_ = old, hadOld_ = true;
    test::SetEnv(TempVar, tmp_.Path());
  }
  void TearDown() override {
    if (hadOld_)
      test::SetEnv(TempVar, saved_);
    else
      test::UnsetEnv(TempVar);
  }
  std::vector<std::string> TempFiles() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(tmp_.Path()))
      names.push_back(e.path().filename().string());
    return names;
  }
  TTempDir tmp_, data_;
  std::string saved_;
  bool hadOld_ = false;
};

TEST_F(AttachedFileTest, EncodesThroughATemporaryFileAndKeepsTheContent) {
  const std::string content = RandomBytes(3000, 3);
  WriteFile(data_ / "blob.bin", content);
  TAttachedFiles files;
  TAttachedFile& a = files.Add(data_ / "blob.bin");
  std::vector<std::string> seen;
  a.OnBlock = [&] {
    if (seen.empty()) seen = TempFiles();
  };
  a.Encode();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(std::regex_match(seen[0], std::regex(a.ThreadTag + "-vum-b64e-[0-9A-F]{8}\\.\\$\\$\\$")))
      << seen[0];
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(a.Data, content);
  std::string joined;
  for (size_t i = 0; i < a.EncodedLines.size(); ++i) {
    if (i + 1 < a.EncodedLines.size()) {
      EXPECT_EQ(a.EncodedLines[i].size(), 76u);
    }
    joined += a.EncodedLines[i];
  }
  EXPECT_EQ(DecodeBase64(joined), content);

  // The second encoding reads the kept copy, not the file.
  std::vector<std::string> first = a.EncodedLines;
  std::filesystem::remove(data_ / "blob.bin");
  a.Encode();
  EXPECT_EQ(a.EncodedLines, first);
}

TEST_F(AttachedFileTest, LineShapesOfSmallFiles) {
  struct Case {
    size_t bytes;
    std::vector<size_t> lineLengths;
  } cases[] = {{0, {}}, {1, {4}}, {57, {76}}, {58, {76, 4}}, {1024, std::vector<size_t>(18, 76)}};
  for (const auto& c : cases) {
    WriteFile(data_ / "f.bin", std::string(c.bytes, 'k'));
    TAttachedFiles files;
    TAttachedFile& a = files.Add(data_ / "f.bin");
    a.Encode();
    std::vector<size_t> lengths;
    for (const auto& l : a.EncodedLines) lengths.push_back(l.size());
    EXPECT_EQ(lengths, c.lineLengths) << c.bytes;
  }
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(AttachedFileTest, CancelLeavesTheLinesAndRemovesTheTemporaryFile) {
  WriteFile(data_ / "big.bin", RandomBytes(10000, 4));
  TAttachedFiles files;
  TAttachedFile& a = files.Add(data_ / "big.bin");
  a.EncodedLines = {"earlier"};
  a.Cancel = true;  // cleared by Encode, so only a cancel during the encoding counts
  int blocks = 0;
  a.OnBlock = [&] {
    if (++blocks == 2) a.Cancel = true;
  };
  a.Encode();
  EXPECT_EQ(blocks, 2);
  EXPECT_EQ(a.EncodedLines, std::vector<std::string>{"earlier"});
  EXPECT_TRUE(a.Data.empty());
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(AttachedFileTest, UnreadableFileFailsWithoutLeavingATemporaryFile) {
  TAttachedFiles files;
  TAttachedFile& a = files.Add(data_ / "missing.bin");
  EXPECT_THROW(a.Encode(), EInOutError);
  EXPECT_TRUE(TempFiles().empty());

  // A folder read as a file fails after the temporary file was made.
  std::filesystem::create_directory(data_ / "dir.bin");
  TAttachedFile& d = files.Add(data_ / "dir.bin");
  EXPECT_THROW(d.Encode(), EInOutError);
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(AttachedFileTest, DataIsEncodedInsteadOfTheFile) {
  TAttachedFiles files;
  TAttachedFile& a = files.Add(data_ / "never-there.txt");
  a.Data = "Man";
  a.Encode();
  EXPECT_EQ(a.EncodedLines, std::vector<std::string>{"TWFu"});
}

}  // namespace
}  // namespace tavik
