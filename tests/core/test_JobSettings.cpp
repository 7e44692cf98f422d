#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/uJobSettings.h"
#include "platform/uSystem.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::TTempDir;
using test::WriteFile;
using V = std::vector<std::string>;

struct TSplitCase {
  const char* name;
  std::string value;
  V expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const TSplitCase& c, std::ostream* os) {
  *os << c.name;
}

class SplitListRules : public ::testing::TestWithParam<TSplitCase> {};

TEST_P(SplitListRules, Entries) {
  EXPECT_EQ(SplitList(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitListRules,
    ::testing::Values(
        TSplitCase{"Empty", "", {}}, TSplitCase{"OnlyBlanks", " \t\x01 ", {}},
        TSplitCase{"One", "C:\\A", {"C:\\A"}}, TSplitCase{"Commas", "C:\\A,C:\\B", {"C:\\A", "C:\\B"}},
        TSplitCase{"BlanksSeparate", "C:\\My Images", {"C:\\My", "Images"}},
        TSplitCase{"ControlCharactersSeparate",
                   "a\tb\x1f"
                   "c",
                   {"a", "b", "c"}},
        TSplitCase{"BlanksAroundCommas", "  a ,  b\t,\tc  ", {"a", "b", "c"}},
        TSplitCase{"TrailingComma", "a,b,", {"a", "b", ""}},
        TSplitCase{"CommaThenBlankAtEndAddsNothing", "a, ", {"a"}}, TSplitCase{"LoneComma", ",", {"", ""}},
        TSplitCase{"LeadingComma", ",a", {"", "a"}}, TSplitCase{"TwoCommas", "a,,b", {"a", "", "b"}},
        TSplitCase{"CommasWithBlanksBetween", "a, ,b", {"a", "", "b"}},
        TSplitCase{"QuotedKeepsBlanksAndCommas", "\"C:\\My Images\",\"x, y\"", {"C:\\My Images", "x, y"}},
        TSplitCase{"DoubledQuote", "\"say \"\"hi\"\"\",b", {"say \"hi\"", "b"}},
        TSplitCase{"UnclosedQuoteRunsToTheEnd", "a,\"b c, d", {"a", "b c, d"}},
        TSplitCase{"TextRightAfterClosingQuote", "\"a\"b,c", {"a", "b", "c"}},
        TSplitCase{"EmptyQuoted", "\"\",x", {"", "x"}},
        TSplitCase{"QuoteInsideUnquotedEntry", "a\"b c", {"a\"b", "c"}},
        TSplitCase{"HighBytesAreText", "\xe9t\xe9,\xff", {"\xe9t\xe9", "\xff"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JobSettingsPath, ExtensionReplacedOrAdded) {
  EXPECT_EQ(JobSettingsPathFor("/opt/tavik/TavikBackupCopy.exe"), "/opt/tavik/TavikBackupCopy.ini");
  EXPECT_EQ(JobSettingsPathFor("/opt/tavik/TavikBackupCopy"), "/opt/tavik/TavikBackupCopy.ini");
  EXPECT_EQ(JobSettingsPathFor("/opt/v1.2/tavik"), "/opt/v1.2/tavik.ini");
  EXPECT_EQ(JobSettingsPath(), ExecutablePath() + ".ini");  // the test program has no extension
  EXPECT_EQ(TJobSettings().Path(), JobSettingsPath());
}

class JobFile : public ::testing::Test {
 protected:
  TJobSettings Job(const std::string& mainLines) {
    WriteFile(dir_ / "job.ini", "[Main]\r\n" + mainLines);
    return TJobSettings(dir_ / "job.ini");
  }
  TTempDir dir_;
};

TEST_F(JobFile, IDPathGetsItsTrailingSeparator) {
  EXPECT_EQ(Job("IDPath=/media/backup\r\n").IDPath(), "/media/backup/");
  EXPECT_EQ(Job("IDPath=/media/backup/\r\n").IDPath(), "/media/backup/");
  EXPECT_EQ(Job("IDPath=\r\n").IDPath(), "");
  EXPECT_EQ(Job("").IDPath(), "");
}

TEST_F(JobFile, MissingFileHasNoVolumes) {
  TJobSettings job(dir_ / "absent.ini");
  EXPECT_TRUE(job.VolumeJobs().empty());
  EXPECT_EQ(job.IDPath(), "");
}

TEST_F(JobFile, VolumneOnlyWhenVolumeYieldsNothing) {
  EXPECT_EQ(Job("Volume=\r\nVolumne=P1,P2\r\n").Volumes(), (V{"P1", "P2"}));
  EXPECT_EQ(Job("Volumne=P1\r\n").Volumes(), (V{"P1"}));
  EXPECT_EQ(Job("Volume=\" \",\r\nVolumne=P1\r\n").Volumes(), (V{"P1"}));  // entries of blanks only
  EXPECT_EQ(Job("Volume=A\r\nVolumne=P1,P2\r\n").Volumes(), (V{"A"}));     // never merged
  EXPECT_EQ(Job("Volume=,B\r\nVolumne=P1,P2\r\n").Volumes(), (V{"", "B"}));
}

TEST_F(JobFile, VolumesPairedByPosition) {
  auto jobs = Job("Source=/s/a,/s/b,/s/c,\r\nDestination=/d/a,,/d/c\r\nvolume=VA,VB\r\n").VolumeJobs();
  ASSERT_EQ(jobs.size(), 4u);
  struct TExpect {
    const char *source, *dest, *volume;
    bool hasDest, hasVolume, complete;
  };
  const TExpect expected[] = {{"/s/a", "/d/a", "VA", true, true, true},
                              {"/s/b", "", "VB", true, true, false},
                              {"/s/c", "/d/c", "", true, false, false},
                              {"", "", "", false, false, false}};
  for (size_t i = 0; i < jobs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(jobs[i].Source, expected[i].source);
    EXPECT_EQ(jobs[i].Destination, expected[i].dest);
    EXPECT_EQ(jobs[i].Volume, expected[i].volume);
    EXPECT_EQ(jobs[i].HasDestination, expected[i].hasDest);
    EXPECT_EQ(jobs[i].HasVolume, expected[i].hasVolume);
    EXPECT_EQ(jobs[i].Complete(), expected[i].complete);
  }
}

TEST_F(JobFile, QuotedEntryInsideAListStaysWhole) {
  auto unquoted = Job("Source=/s/My Images,/s/b\r\nDestination=/d/1,/d/2\r\nVolume=V1,V2\r\n").VolumeJobs();
  ASSERT_EQ(unquoted.size(), 3u);
  EXPECT_EQ(unquoted[1].Source, "Images");
  EXPECT_EQ(unquoted[1].Destination, "/d/2");

  auto quoted =
      Job("Source=\"/s/My Images\",\"/s/b\"\r\nDestination=/d/1,/d/2\r\nVolume=V1,V2\r\n").VolumeJobs();
  ASSERT_EQ(quoted.size(), 2u);
  EXPECT_EQ(quoted[0].Source, "/s/My Images");
  EXPECT_EQ(quoted[1].Source, "/s/b");
  EXPECT_EQ(quoted[1].Destination, "/d/2");

  // A value wholly in one pair of quotes loses that pair first, so its blank separates again.
  auto enclosed = Job("Source=\"/s/My Images\"\r\n").Sources();
  EXPECT_EQ(enclosed, (V{"/s/My", "Images"}));
}

}  // namespace
}  // namespace tavik
