#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <string>

#include "platform/uIniFile.h"
#include "platform/uSystem.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;
using ::testing::HasSubstr;

struct TReadCase {
  const char* name;
  std::string content;
  const char* section;
  const char* key;
  std::string expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const TReadCase& c, std::ostream* os) {
  *os << c.name;
}

class IniRead : public ::testing::TestWithParam<TReadCase> {};

TEST_P(IniRead, ValueAsTheRulesSay) {
  TTempDir dir;
  const std::string file = dir / "job.ini";
  WriteFile(file, GetParam().content);
  EXPECT_EQ(ReadProfileString(file, GetParam().section, GetParam().key, "dflt"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniRead,
    ::testing::Values(TReadCase{"CaseBlind", "[mAIN]\nsOURCE=x\n", "Main", "Source", "x"},
                      TReadCase{"Crlf", "[Main]\r\nA=1\r\nB=2\r\n", "Main", "B", "2"},
                      // A bare CR ends a line, so a value can never carry a second header line.
                      TReadCase{"BareCrEndsTheValue", "[Main]\rSiteID=x\rBcc: someone\rB=2\r", "Main",
                                "SiteID", "x"},
                      TReadCase{"BareCrLines", "[Main]\rA=1\rB=2", "Main", "B", "2"},
                      TReadCase{"BlanksTrimmed", "[Main]\n  A  =  \t v w \t \n", "Main", "A", "v w"},
                      TReadCase{"DoubleQuotesDropped", "[Main]\nA=\" v \"\n", "Main", "A", " v "},
                      TReadCase{"SingleQuotesDropped", "[Main]\nA= 'v'\n", "Main", "A", "v"},
                      TReadCase{"InnerQuoteKeepsThePair", "[Main]\nA=\"\"v\"\"\n", "Main", "A", "\"\"v\"\""},
                      TReadCase{"QuotesOfTwoEntriesKept", "[Main]\nA=\"C:\\My Images\",\"D:\\X\"\n", "Main",
                                "A", "\"C:\\My Images\",\"D:\\X\""},
                      TReadCase{"MixedQuotesKept", "[Main]\nA=\"v'\n", "Main", "A", "\"v'"},
                      TReadCase{"LoneQuoteKept", "[Main]\nA=\"\n", "Main", "A", "\""},
                      TReadCase{"EmptyPair", "[Main]\nA=''\n", "Main", "A", ""},
                      TReadCase{"EmptyValueIsNotDefault", "[Main]\nA=\n", "Main", "A", ""},
                      TReadCase{"MissingKey", "[Main]\nA=1\n", "Main", "B", "dflt"},
                      TReadCase{"MissingSection", "[Other]\nA=1\n", "Main", "A", "dflt"},
                      TReadCase{"KeyOfAnotherSection", "[Main]\nA=1\n[Other]\nB=2\n", "Main", "B", "dflt"},
                      TReadCase{"FirstOfTwoKeys", "[Main]\nA=1\nA=2\n", "Main", "A", "1"},
                      TReadCase{"CommentNotAKey", "[Main]\n;A=1\nA=2\n", "Main", "A", "2"},
                      TReadCase{"ByteOrderMark", "\xEF\xBB\xBF[Main]\nA=1\n", "Main", "A", "1"},
                      TReadCase{"NoFinalNewline", "[Main]\nA=last", "Main", "A", "last"},
                      TReadCase{"CutAt2047", "[Main]\nA=" + std::string(3000, 'x') + "\n", "Main", "A",
                                std::string(2047, 'x')},
                      TReadCase{"Exactly2047", "[Main]\nA=" + std::string(2047, 'y') + "z\n", "Main", "A",
                                std::string(2047, 'y')},
                      TReadCase{"QuotesDroppedBeforeTheCut", "[Main]\nA=\"" + std::string(2047, 'q') + "\"\n",
                                "Main", "A", std::string(2047, 'q')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniReadFile, MissingFileGivesTheDefaultAsItStands) {
  TTempDir dir;
  EXPECT_EQ(ReadProfileString(dir / "none.ini", "Main", "A", "Disk1"), "Disk1");
  EXPECT_EQ(ReadProfileString(dir / "none.ini", "Main", "A", "'q'"), "'q'");
}

TEST(IniReadFile, NonTextFilesReadWithoutHarm) {
  TTempDir dir;
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 37) & 0xFF);
  const std::string cases[] = {binary, std::string("[Main]\nA=a\0b\n", 12),
                               "[Main]\nA=" + std::string(100 * 1024, 'L'), std::string(100 * 1024, '\0')};
  for (const std::string& content : cases) {
    WriteFile(dir / "bin.ini", content);
    std::string v = ReadProfileString(dir / "bin.ini", "Main", "A", "");
    EXPECT_LE(v.size(), ProfileValueMax);
    EXPECT_TRUE(WriteProfileString(dir / "bin.ini", "Main", "B", "1"));
    EXPECT_EQ(ReadProfileString(dir / "bin.ini", "Main", "B", ""), "1");
  }
  // A folder where the file should be: nothing to read, nothing written.
  EXPECT_EQ(ReadProfileString(dir.Path(), "Main", "A", "d"), "d");
  EXPECT_FALSE(WriteProfileString(dir.Path(), "Main", "A", "1"));
}

TEST(IniWrite, CreatesTheFile) {
  TTempDir dir;
  const std::string file = dir / "new.ini";
  ASSERT_TRUE(WriteProfileString(file, "Email Settings", "SMTPPort", "25"));
  ASSERT_TRUE(WriteProfileString(file, "Settings", "CreateDestFolder", "1"));
  EXPECT_EQ(ReadFile(file), "[Email Settings]\r\nSMTPPort=25\r\n[Settings]\r\nCreateDestFolder=1\r\n");
}

TEST(IniWrite, LeavesEveryOtherLineAsItWas) {
  TTempDir dir;
  const std::string file = dir / "kept.ini";
  const std::string before = "; hand-written\n[main]\nSource = \"C:\\A\"  \nX=1\n\n[Other]\nY=2";
  WriteFile(file, before);

  ASSERT_TRUE(WriteProfileString(file, "MAIN", "x", "9"));
  EXPECT_EQ(ReadFile(file), "; hand-written\n[main]\nSource = \"C:\\A\"  \nx=9\n\n[Other]\nY=2");

  ASSERT_TRUE(WriteProfileString(file, "Main", "New", "n"));
  EXPECT_EQ(ReadFile(file), "; hand-written\n[main]\nSource = \"C:\\A\"  \nx=9\nNew=n\n\n[Other]\nY=2");

  ASSERT_TRUE(WriteProfileString(file, "Third", "Z", "3"));
  EXPECT_EQ(ReadFile(file),
            "; hand-written\n[main]\nSource = \"C:\\A\"  \nx=9\nNew=n\n\n[Other]\nY=2\n[Third]\nZ=3\n");
  EXPECT_EQ(ReadProfileString(file, "main", "source", ""), "C:\\A");
}

// Each line keeps the end it had; a bare CR is a line end like the others.
TEST(IniWrite, KeepsEachLinesEnd) {
  const struct {
    const char *before, *key, *after;
  } cases[] = {{"[A]\r\nK=1\r\n", "L", "[A]\r\nK=1\r\nL=2\r\n"}, {"[A]\rK=1\rM=x\r", "K", "[A]\rK=2\rM=x\r"}};
  for (const auto& c : cases) {
    TTempDir dir;
    const std::string file = dir / "ends.ini";
    WriteFile(file, c.before);
    ASSERT_TRUE(WriteProfileString(file, "A", c.key, "2"));
    EXPECT_EQ(ReadFile(file), c.after);
  }
}

TEST(IniWrite, RefusesWhatWouldBreakTheLineStructure) {
  TTempDir dir;
  const std::string file = dir / "safe.ini";
  WriteFile(file, "[A]\nK=1\n");
  EXPECT_FALSE(WriteProfileString(file, "A", "K", "2\n[Evil]\nX=1"));
  EXPECT_FALSE(WriteProfileString(file, "A", "K=", "2"));
  EXPECT_FALSE(WriteProfileString(file, "A]", "K", "2"));
  EXPECT_FALSE(WriteProfileString(file, "A", "K", "2\r"));
  EXPECT_EQ(ReadFile(file), "[A]\nK=1\n");
}

// Links, FIFOs and other owners are POSIX matters: Windows makes links only with an
// administrator's privilege.
#ifndef _WIN32
// The settings folder belongs to the service account while root saves there: nothing planted in it
// may turn root's save into a write elsewhere. The victim stands for a file only root may change.
TEST(IniWrite, NeverWritesThroughALinkOrIntoAFileItDidNotCreate) {
  struct TCase {
    const char* name;
    bool saved;  // the write goes ahead (into a new file of its own)
    std::function<void(const std::string& file, const std::string& victim)> plant;
  };
  const TCase cases[] = {
      {"the settings file is a link", false,
       [](const std::string& file, const std::string& victim) { ::symlink(victim.c_str(), file.c_str()); }},
      {"the settings file is a dangling link", false,
       [](const std::string& file, const std::string& victim) {
         std::filesystem::remove(victim);
         ::symlink(victim.c_str(), file.c_str());
       }},
      {"the settings file is a FIFO", false,
       [](const std::string& file, const std::string&) { ::mkfifo(file.c_str(), 0600); }},
      // The names an earlier version took, planted for this very process and the next ones.
      {"links planted at the temporary names", true,
       [](const std::string& file, const std::string& victim) {
         WriteFile(file, "[A]\nK=1\n");
         ::chown(file.c_str(), 65534, 65534);
         for (pid_t pid = ::getpid(); pid < ::getpid() + 20; ++pid)
           ::symlink(victim.c_str(), (file + ".tmp-" + std::to_string(pid)).c_str());
       }},
  };
  for (const TCase& c : cases) {
    TTempDir dir;
    const std::string file = dir / "TavikBackup.ini", victim = dir / "victim";
    WriteFile(victim, "root only\n");
    ::chmod(victim.c_str(), 0600);
    c.plant(file, victim);
    std::string why;
    EXPECT_EQ(WriteProfileString(file, "A", "K", "2", &why), c.saved) << c.name << ": " << why;
    struct stat st {};
    if (std::filesystem::exists(victim)) {
      EXPECT_EQ(ReadFile(victim), "root only\n") << c.name;
      ASSERT_EQ(::stat(victim.c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, ::geteuid()) << c.name;
      EXPECT_EQ(st.st_mode & 07777, 0600u) << c.name;
    } else {
      EXPECT_FALSE(std::filesystem::exists(victim)) << c.name << ": created through a dangling link";
    }
    if (c.saved) {
      ASSERT_EQ(::lstat(file.c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode)) << c.name;
      EXPECT_EQ(ReadFile(file), "[A]\nK=2\n") << c.name;
      EXPECT_EQ(st.st_uid, 65534u) << c.name << ": the file keeps its owner";
    } else {
      EXPECT_THAT(why, ::testing::AnyOf(HasSubstr("symbolic link"), HasSubstr("not a regular file")))
          << c.name;
    }
  }
}
#endif

// Readers cut a value at ProfileValueMax: a longer one is refused, never stored to come back shorter.
TEST(IniWrite, RefusesAValueLongerThanReadersTakeBack) {
  TTempDir dir;
  const std::string file = dir / "long.ini";
  WriteFile(file, "[A]\nK=1\n");
  EXPECT_TRUE(WriteProfileString(file, "A", "K", std::string(ProfileValueMax, 'x')));
  std::string why;
  EXPECT_FALSE(WriteProfileString(file, "A", "K", std::string(ProfileValueMax + 1, 'y'), &why));
  EXPECT_THAT(why, HasSubstr("longer than 2047 bytes"));
  EXPECT_EQ(ReadProfileString(file, "A", "K", ""), std::string(ProfileValueMax, 'x'));
}

}  // namespace
}  // namespace tavik
