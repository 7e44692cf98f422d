#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "platform/uErrors.h"
#include "platform/uFiles.h"
#include "platform/uLocale.h"
#include "platform/uSystem.h"
#include "tests/support/TestSupport.h"

using namespace tavik;
using tavik::test::ReadFile;
using tavik::test::TSealedEnv;
using tavik::test::TTempDir;
using tavik::test::WriteFile;

namespace {
// A path written with slashes, in the system's own separators.
std::string N(std::string path) {
  for (char& c : path)
    if (c == '/') c = PathDelim;
  return path;
}

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
    utc.emplace("UTC0");
    PinClock(FromLocal(2026, 12, 7, 14, 5, 9, 123));
  }
  void TearDown() override {
    UnpinClock();
    OverrideLocaleSeparators(0, 0);
  }
  TSealedEnv env;
  std::optional<tavik::test::TScopedTz> utc;
};
}  // namespace

TEST_F(LoggerTest, FirstEntryCreatesHeaderThenEntryWithKind) {
  TQorvLogger log;
  const std::string path = log.ConfigureLog(true, "TavikShadowCopy", "");
  EXPECT_EQ(path, env.ProgramData() + N("/qorv/TavikShadowCopy/") + log.DefaultLogFileName());
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

#ifndef _WIN32
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
#endif

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
  EXPECT_TRUE(FileExists(env.UserData() + N("/qorv/qorv/log.txt")));
  EXPECT_EQ(log.LogPath(), env.UserData() + N("/qorv/qorv/"));
}

TEST_F(LoggerTest, ConfigureKeepsOnlyTheFileNamePart) {
  TQorvLogger log;
  EXPECT_EQ(log.ConfigureLog(false, "app", N("/some/where/run.log")),
            env.UserData() + N("/qorv/app/run.log"));
}

// Without a head the trim drops the older half plus one and says how many lines went.
TEST_F(LoggerTest, TrimFiresOnlyAboveTheBoundAndDropsTheOlderHalfPlusOneWithALineSayingSo) {
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
    ASSERT_EQ(static_cast<int>(lines.size()), c.keep + 1) << c.lines;
    const int dropped = c.lines - c.keep;
    EXPECT_EQ(lines[0], "[07/12/26 14:05:09.123]\t1\t" + std::to_string(dropped) +
                            (dropped == 1 ? " line" : " lines") +
                            " left out here to keep the log below 1 bytes");
    if (c.keep) {
      EXPECT_EQ(lines.back(), "line" + std::to_string(c.lines - 1));
    }
  }
  WriteFile(f, std::string(100, 'x'));
  TQorvLogger::TrimLogFile(f, 100);  // exactly at the bound: untouched
  EXPECT_EQ(ReadFile(f).size(), 100u);
  TQorvLogger::TrimLogFile(f, 99);
  EXPECT_EQ(Lines(ReadFile(f)),
            std::vector<std::string>{
                "[07/12/26 14:05:09.123]\t1\t1 line left out here to keep the log below 99 bytes"});
}

#ifndef _WIN32
// The trim writes a new file and renames it into place (the old one is never cut), with the
// old one's permissions.
TEST_F(LoggerTest, TrimReplacesTheFileWithANewOne) {
  TTempDir tmp;
  const std::string f = tmp / "t.log";
  WriteFile(f, "a\r\nb\r\nc\r\n");
  ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
  struct stat before {
  }, after{};
  ASSERT_EQ(::stat(f.c_str(), &before), 0);
  TQorvLogger::TrimLogFile(f, 1);
  ASSERT_EQ(::stat(f.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(Lines(ReadFile(f)).back(), "c");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.Path()), {}), 1)
      << "no temporary file is left";
}
#endif

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
  tavik::test::WriteFile(path + N("/inner"), "");  // the log's name is taken by a folder
  EXPECT_THROW(log.WriteLog("x"), EInOutError);
}

namespace {
// What follows a log line's stamp and kind.
std::string MessageOf(const std::string& line) {
  const size_t tab = line.find('\t');
  return tab == std::string::npos ? line : line.substr(line.find('\t', tab + 1) + 1);
}

std::vector<std::string> Messages(const std::string& text) {
  std::vector<std::string> r;
  for (const std::string& line : Lines(text)) r.push_back(MessageOf(line));
  return r;
}

// The failure's message, or "(none)".
template <typename F>
std::string Refusal(F&& f) {
  try {
    f();
  } catch (const EInOutError& e) {
    return e.what();
  }
  return "(none)";
}
}  // namespace

// The log stays open between entries, yet each entry goes to what the log's name leads to at
// that moment: a log renamed away mid-run keeps what it had and a new one starts at the name;
// whatever else is put there is refused, as it would be at the first entry.
TEST_F(LoggerTest, EachEntryGoesToTheFileAtTheLogsNameAsItIsThen) {
  TQorvLogger log;
  const std::string path = log.ConfigureLog(true, "T", "x.log");
  log.WriteLog("first");
  std::filesystem::rename(path, path + ".old");
  log.WriteLog("second");
  EXPECT_EQ(Messages(ReadFile(path + ".old")), (std::vector<std::string>{"Log file created", "first"}));
  EXPECT_EQ(Messages(ReadFile(path)), (std::vector<std::string>{"Log file created", "second"}));
#ifndef _WIN32
  TTempDir tmp;
  WriteFile(tmp / "secret", "root only\r\n");
  std::filesystem::remove(path);
  std::filesystem::create_symlink(tmp / "secret", path);
  EXPECT_THROW(log.WriteLog("third"), EInOutError);
  EXPECT_EQ(ReadFile(tmp / "secret"), "root only\r\n");
  std::filesystem::remove(path);
  log.WriteLog("fourth");
  EXPECT_EQ(Messages(ReadFile(path)), (std::vector<std::string>{"Log file created", "fourth"}));
#endif
}

// A long run's trimmed log still shows how it began: the header, its start line and disk check
// (not those of an earlier run in the same log), one line counting every line left out over all
// the trims, then the newest lines.
TEST_F(LoggerTest, TrimKeepsTheRunsFirstLinesAndCountsWhatItLeftOut) {
  TQorvLogger log;
  const std::string path = log.ConfigureLog(true, "T", "x.log");
  size_t written = 1;  // the header
  log.MarkRunStart();
  log.WriteLog("Start: 06/12/2026 14:05");
  log.MarkHeadEnd();
  for (int i = 0; i < 50; ++i, ++written) log.WriteLog("First run's line " + std::to_string(i));
  written += 1;

  log.MarkRunStart();
  const std::vector<std::string> head = {"Start: 07/12/2026 14:05", "Checking Disk ID", "Disk ID Check: OK",
                                         "Disk ID Disk1"};
  for (const std::string& l : head) log.WriteLog(l);
  written += head.size();
  log.MarkHeadEnd();
  const int files = 20000;
  for (int i = 0; i < files; ++i, ++written)
    log.WriteLog("File copied /src/C_VOL_i" + std::to_string(i) + ".spi to /dst/");

  const std::string text = ReadFile(path);
  EXPECT_LE(static_cast<int64_t>(text.size()), LogTrimBound);
  const auto lines = Lines(text);
  ASSERT_GT(lines.size(), head.size() + 3);
  EXPECT_EQ(MessageOf(lines[0]), "Log file created");
  for (size_t i = 0; i < head.size(); ++i) EXPECT_EQ(MessageOf(lines[1 + i]), head[i]);
  const std::string leftOut = MessageOf(lines[head.size() + 1]);
  const std::string suffix = " lines left out here to keep the log below 240 KiB";
  ASSERT_GT(leftOut.size(), suffix.size());
  ASSERT_EQ(leftOut.substr(leftOut.size() - suffix.size()), suffix);
  const size_t count = std::stoul(leftOut);
  EXPECT_EQ(count + lines.size() - 1, written) << "every line written is in the log or counted";
  // The rest is the newest lines, in order and without a gap.
  const size_t tail = lines.size() - head.size() - 2;
  for (size_t i = 0; i < tail; ++i)
    ASSERT_EQ(MessageOf(lines[head.size() + 2 + i]),
              "File copied /src/C_VOL_i" + std::to_string(files - tail + i) + ".spi to /dst/");
  EXPECT_EQ(text.find("First run's line"), std::string::npos);
}

#ifndef _WIN32
// Only the account's own log is written, cut or read: whatever else stands at its name is refused
// with the reason and left as it was, and no open waits on a FIFO.
TEST_F(LoggerTest, WhatIsNotTheAccountsOwnLogIsRefusedAndLeftAlone) {
  TTempDir tmp;
  const std::string secret = tmp / "secret";
  struct Case {
    const char* what;
    std::function<bool(const std::string&)> plant;
    std::string reason;
  } cases[] = {
      {"link", [&](const std::string& p) { return ::symlink(secret.c_str(), p.c_str()) == 0; }, " is a link"},
      {"dangling link",
       [&](const std::string& p) { return ::symlink((tmp / "none").c_str(), p.c_str()) == 0; }, " is a link"},
      {"FIFO", [](const std::string& p) { return ::mkfifo(p.c_str(), 0666) == 0; }, " is not a regular file"},
      {"folder", [](const std::string& p) { return ::mkdir(p.c_str(), 0755) == 0; },
       " is not a regular file"},
      {"second name", [&](const std::string& p) { return ::link(secret.c_str(), p.c_str()) == 0; },
       " has 2 names (hard links)"},
      {"another account's file",
       [](const std::string& p) {
         WriteFile(p, "theirs\r\n");
         return ::chown(p.c_str(), 65534, 65534) == 0;
       },
       " belongs to user id 65534, not to this account"},
  };
  int folderNo = 0;
  for (const Case& c : cases) {
    const std::string folder = tmp / ("log" + std::to_string(++folderNo));
    std::filesystem::create_directories(folder);
    WriteFile(secret, "root only\r\n");
    ::chmod(secret.c_str(), 0600);
    const std::string path = folder + "/x.log";
    if (!c.plant(path)) {
      // Planting another account's file takes root.
      EXPECT_NE(::geteuid(), 0u) << c.what;
      continue;
    }
    TQorvLogger log;
    log.SetLogPath(folder);
    log.SetLogFileName("x.log");
    EXPECT_EQ(Refusal([&] { log.WriteLog("a line"); }), path + c.reason) << c.what;
    EXPECT_EQ(Refusal([&] { TQorvLogger::TrimLogFile(path, 1); }), path + c.reason) << c.what;
    const TLogAttachment attachment(path);
    EXPECT_EQ(attachment.Path(), "") << c.what;
    EXPECT_EQ(attachment.Problem(), path + c.reason) << c.what;
    EXPECT_EQ(ReadFile(secret), "root only\r\n") << c.what;
    if (c.reason.find("another account") != std::string::npos) {
      EXPECT_EQ(ReadFile(path), "theirs\r\n");
    }
    std::filesystem::remove_all(folder);
  }
}

#endif

// The attachment stands for the log as it was checked, even once another file is put at the
// log's name, and goes with its object.
TEST_F(LoggerTest, AnAttachmentReadsTheCheckedLogWhateverIsPutAtItsNameLater) {
  TTempDir tmp;
  const std::string secret = tmp / "secret";
  WriteFile(secret, "root only\r\n");
  TQorvLogger log;
  const std::string path = log.ConfigureLog(true, "T", "x.log");
  log.WriteLog("the run's line");
  const std::string logText = ReadFile(path);
  std::string folder;
  {
    const TLogAttachment attachment(path);
    ASSERT_NE(attachment.Path(), "") << attachment.Problem();
    EXPECT_EQ(ExtractFileName(attachment.Path()), "x.log");
    folder = ExtractFilePath(attachment.Path());
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
    std::filesystem::rename(path, path + ".old");
#ifdef _WIN32
    WriteFile(path, "put at the log's name\r\n");
#else
    ASSERT_EQ(::symlink(secret.c_str(), path.c_str()), 0);
#endif
    EXPECT_EQ(ReadFile(attachment.Path()), logText);
  }
  EXPECT_FALSE(std::filesystem::exists(folder));
  const TLogAttachment none(tmp / "missing.log");
  EXPECT_EQ(none.Path(), "");
  EXPECT_EQ(none.Problem(), SysErrorMessage(FileErrorCode(TFileError::Missing)) + ": " + tmp / "missing.log");
}
