#include <sys/stat.h>

#include <gtest/gtest.h>

#include <sstream>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "platform/uErrors.h"
#include "platform/uLocale.h"
#include "tests/support/TestSupport.h"

using namespace tavik;
using tavik::test::ReadFile;
using tavik::test::TSealedEnv;
using tavik::test::TTempDir;
using tavik::test::WriteFile;

namespace {
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> r;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t e = text.find("\r\n", pos);
    if (e == std::string::npos) {
      r.push_back(text.substr(pos));
      break;
    }
    r.push_back(text.substr(pos, e - pos));
    pos = e + 2;
  }
  return r;
}

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    PinClock(FromLocal(2026, 12, 7, 14, 5, 9, 123));
  }
  void TearDown() override {
    UnpinClock();
    OverrideLocaleSeparators(0, 0);
  }
  TSealedEnv env;
};
}  // namespace

TEST_F(LoggerTest, FirstEntryCreatesHeaderThenEntryWithKind) {
  TQorvLogger log;
  const std::string path = log.ConfigureLog(true, "TavikShadowCopy", "");
  EXPECT_EQ(path, env.ProgramData() + "/qorv/TavikShadowCopy/" + log.DefaultLogFileName());
  log.WriteLog("hello");
  log.Logcode = ecWarning;
  log.WriteLog("");  // repeats the previous message
  auto lines = Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "[07/12/26 14:05:09.123]\t1\tLog file created");
  EXPECT_EQ(lines[1], "[07/12/26 14:05:09.123]\t0\thello");
  EXPECT_EQ(lines[2], "[07/12/26 14:05:09.123]\t2\thello");
  EXPECT_EQ(ReadFile(path).substr(ReadFile(path).size() - 2), "\r\n");
}

TEST_F(LoggerTest, NoOtherAccountMayWriteTheLogWhateverTheUmask) {
  TQorvLogger log;
  const std::string path = log.ConfigureLog(true, "TavikShadowCopy", "");
  const mode_t old = ::umask(0);
  log.WriteLog("hello");
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(LoggerTest, TimestampUsesLocaleSeparators) {
  OverrideLocaleSeparators('.', ':');
  EXPECT_EQ(LogTimestamp(), "07.12.26 14:05:09.123");
}

// Separators are whole printable ASCII characters: a CJK date mark would leave a lone byte of
// its multi-byte character in every line.
TEST(LocaleSeparators, WholeAsciiCharactersOrTheFallback) {
  const struct {
    const char* format;
    char expected;
  } cases[] = {{"%d/%m/%y", '/'},
               {"%d.%m.%Y", '.'},
               {"%Y-%m-%d", '-'},
               {"%Y\xE5\xB9\xB4%m\xE6\x9C\x88%d\xE6\x97\xA5", '#'},    // Japanese and Chinese: year mark
               {"%Y\xEB\x85\x84 %m\xEC\x9B\x94 %d\xEC\x9D\xBC", '#'},  // Korean
               {"%H\xE6\x99\x82%M\xE5\x88\x86", '#'},
               {"%Ex", '#'},
               {"%y\x01%m", '#'},
               {nullptr, '#'}};
  for (const auto& c : cases)
    EXPECT_EQ(SeparatorOf(c.format, '#'), c.expected) << (c.format ? c.format : "null");
}

TEST_F(LoggerTest, SeparatorThatIsNoAsciiCharacterFallsBack) {
  OverrideLocaleSeparators('\xE5', '\x7F');
  EXPECT_EQ(LogTimestamp(), "07/12/26 14:05:09.123");
}

// A file name holding a line break must not forge a second log line.
TEST_F(LoggerTest, ControlCharactersAreWrittenEscaped) {
  TQorvLogger log;
  const std::string path = log.ConfigureLog(true, "TavikShadowCopy", "");
  log.WriteLog("File copying /src/C_VOL-b\n[07/12/26 14:05:09.123]\t0\tFile copied.spf\r\x01\x7F");
  const auto lines = Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            "[07/12/26 14:05:09.123]\t0\tFile copying /src/C_VOL-b\\n[07/12/26 14:05:09.123]\\t0\\tFile "
            "copied.spf\\r\\x01\\x7F");
  EXPECT_NE(log.LogMsg().find('\n'), std::string::npos);  // the message itself is kept as it came
}

TEST_F(LoggerTest, DefaultNameAndUnconfiguredLogger) {
  TQorvLogger log;
  const std::string name = log.DefaultLogFileName();
  EXPECT_EQ(name, ExtractFileName(ExecutablePath()) + "-Log-" + LocalUserName() + "-" + LocalComputerName() +
                      ".log");
  log.WriteLog("x");
  EXPECT_TRUE(FileExists(env.UserData() + "/qorv/qorv/log.txt"));
  EXPECT_EQ(log.LogPath(), env.UserData() + "/qorv/qorv/");
}

TEST_F(LoggerTest, ConfigureKeepsOnlyTheFileNamePart) {
  TQorvLogger log;
  EXPECT_EQ(log.ConfigureLog(false, "app", "/some/where/run.log"), env.UserData() + "/qorv/app/run.log");
}

TEST_F(LoggerTest, TrimFiresOnlyAboveTheBoundAndDropsTheOlderHalfPlusOne) {
  TTempDir tmp;
  const std::string f = tmp / "t.log";
  struct Case {
    int lines;
    int keep;
  } cases[] = {{5, 2}, {4, 1}, {1, 0}};
  for (auto c : cases) {
    std::string text;
    for (int i = 0; i < c.lines; ++i) text += "line" + std::to_string(i) + "\r\n";
    WriteFile(f, text);
    TQorvLogger::TrimLogFile(f, 1);
    auto lines = Lines(ReadFile(f));
    ASSERT_EQ(static_cast<int>(lines.size()), c.keep) << c.lines;
    if (c.keep) {
      EXPECT_EQ(lines.back(), "line" + std::to_string(c.lines - 1));
    }
  }
  WriteFile(f, std::string(100, 'x'));
  TQorvLogger::TrimLogFile(f, 100);  // exactly at the bound: untouched
  EXPECT_EQ(ReadFile(f).size(), 100u);
  TQorvLogger::TrimLogFile(f, 99);
  EXPECT_EQ(ReadFile(f), "");
}

TEST_F(LoggerTest, EntryThatCrossesTheBoundTrimsTheLog) {
  TQorvLogger log;
  const std::string path = log.ConfigureLog(true, "T", "x.log");
  const std::string big(1000, 'a');
  int64_t lastSize = 0;
  bool trimmed = false;
  for (int i = 0; i < 300 && !trimmed; ++i) {
    log.WriteLog(big);
    int64_t size = static_cast<int64_t>(ReadFile(path).size());
    EXPECT_LE(size, LogTrimBound);
    trimmed = size < lastSize;
    lastSize = size;
  }
  EXPECT_TRUE(trimmed);
  EXPECT_EQ(ReadFile(path).find("Log file created"), std::string::npos);
}

TEST_F(LoggerTest, UnwritableLogRaisesInOutError) {
  TQorvLogger log;
  const std::string path = log.ConfigureLog(true, "T", "x.log");
  tavik::test::WriteFile(path + "/inner", "");  // the log's name is taken by a folder
  EXPECT_THROW(log.WriteLog("x"), EInOutError);
}
