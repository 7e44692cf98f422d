#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>

#include "QorvLib/uQorvFiles.h"
#include "platform/uErrors.h"
#include "platform/uUiServices.h"
#include "tests/support/TestSupport.h"

using namespace tavik;
using tavik::test::TTempDir;
using tavik::test::WriteFile;

namespace {
// A path written with slashes, in the system's own separators.
std::string N(std::string path) {
  for (char& c : path)
    if (c == '/') c = PathDelim;
  return path;
}
}  // namespace

TEST(QorvFiles, TrailingSeparators) {
  EXPECT_EQ(IncludeTrailingSeparator(N("/a/b")), N("/a/b/"));
  EXPECT_EQ(IncludeTrailingSeparator(N("/a/b/")), N("/a/b/"));
  EXPECT_EQ(IncludeTrailingSeparator(""), N("/"));
  EXPECT_EQ(RemoveTrailingSeparator(N("/a//")), N("/a/"));
  EXPECT_EQ(RemoveTrailingSeparator(N("/a")), N("/a"));
  EXPECT_EQ(RightText("abcdef", 2), "ef");
  EXPECT_EQ(RightText("ab", 5), "ab");
}

TEST(QorvFiles, TextToInt64) {
  const std::pair<const char*, int64_t> cases[] = {{"25", 25},
                                                   {"2x5", 0},
                                                   {"", 0},
                                                   {"-7", -7},
                                                   {"+7", 7},
                                                   {"+-5", 0},
                                                   {" 5", 0},
                                                   {"9223372036854775807", INT64_MAX},
                                                   {"99999999999999999999", 0}};
  for (auto [text, want] : cases) EXPECT_EQ(TextToInt64(text), want) << text;
}

TEST(QorvFiles, ForceFoldersCreatesEveryMissingParent) {
  TTempDir tmp;
  const std::string deep = tmp / "Backups/Vol1/";
  EXPECT_TRUE(ForceFolders(deep));
  EXPECT_TRUE(FolderExists(tmp / "Backups"));
  EXPECT_TRUE(FolderExists(tmp / "Backups/Vol1"));
  EXPECT_FALSE(ForceFolders(""));
  // A parent that is a file can never hold the folder.
  WriteFile(tmp / "file", "x");
  EXPECT_FALSE(ForceFolders(tmp / "file/sub"));
}

TEST(QorvFiles, ForceFoldersTakesOnlySlashForARoot) {
  EXPECT_TRUE(ForceFolders(N("/")));
  TTempDir tmp;
  // Paths of one or two characters ("bk", "b") are folders, not roots; "/b" goes the same way.
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(tmp.Path());
  const bool relative = ForceFolders(N("bk/vol1")) && ForceFolders(N("b/"));
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(relative);
  EXPECT_TRUE(FolderExists(tmp / "bk/vol1"));
  EXPECT_TRUE(FolderExists(tmp / "b"));
}

TEST(QorvFiles, MasksAreCaseBlind) {
  const std::tuple<const char*, const char*, bool> cases[] = {{"VOL1_a.SPF", "vol1*.spf", true},
                                                              {"vol1.spi", "vol1*.spf", false},
                                                              {"abc", "a?c", true},
                                                              {"ac", "a?c", false},
                                                              {"x.md5", "*", true},
                                                              {"Vol10b.spf", "Vol1*.spf", true},
                                                              {"a.spf.bak", "*.spf", false}};
  for (auto [name, mask, want] : cases) EXPECT_EQ(MatchesMask(name, mask), want) << name << " ~ " << mask;
}

TEST(QorvFiles, FindFilesAppendsAndRecursesIntoMatchingFolders) {
  TTempDir tmp;
  WriteFile(tmp / "a.spf", "1");
  WriteFile(tmp / "b.SPF", "2");
  WriteFile(tmp / "c.spi", "3");
  WriteFile(tmp / "sub.spf/d.spf", "4");
  WriteFile(tmp / "other/e.spf", "5");
  std::vector<std::string> files;
  EXPECT_TRUE(FindFiles(tmp / "*.spi", &files, faAnyFile, false));
  EXPECT_TRUE(FindFiles(tmp / "*.spf", &files, faAnyFile, false));
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0], tmp / "c.spi");  // the second call appends after the first's results
  std::vector<std::string> spf(files.begin() + 1, files.end());
  std::sort(spf.begin(), spf.end());
  EXPECT_EQ(spf, (std::vector<std::string>{tmp / "a.spf", tmp / "b.SPF"}));

  std::vector<std::string> deep;
  FindFiles(tmp / "*.spf", &deep, faAnyFile, true);
  EXPECT_EQ(deep.size(), 3u);  // "other" does not match the pattern, so it is not walked
  EXPECT_NE(std::find(deep.begin(), deep.end(), tmp / "sub.spf/d.spf"), deep.end());

  std::vector<std::string> none;
  EXPECT_FALSE(FindFiles(tmp / "*.zzz", &none, faAnyFile, false));
  EXPECT_THROW(FindFiles(tmp / "*", nullptr, faAnyFile, false), EAssertionFailed);
}

TEST(QorvFiles, WeekdayAndDateFormats) {
  tavik::test::TScopedTz utc("UTC");
  EXPECT_EQ(WeekdayIndex(FromLocal(2026, 12, 6)), 0);   // a Sunday
  EXPECT_EQ(WeekdayIndex(FromLocal(2026, 12, 12)), 6);  // a Saturday
  const TDateTime t = FromLocal(2026, 12, 7, 14, 5, 9, 123);
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh:mm", t), "07/12/2026 14:05");
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy HH:MM", t), "07/12/2026 14:05");
  EXPECT_EQ(FormatDateTime("dd/mm/yy hh:nn:ss.zzz", t), "07/12/26 14:05:09.123");
  EXPECT_EQ(FormatDateTime("HH:MM:SS", t), "14:05:09");
}

TEST(QorvFiles, WarnAndAbortAddsOneFullStopThenAbortsSilently) {
  tavik::test::TScriptedUi ui;
  EXPECT_THROW(WarnAndAbort("Address from is required"), ESilentAbort);
  EXPECT_THROW(WarnAndAbort("Done."), ESilentAbort);
  ASSERT_EQ(ui.asked.size(), 2u);
  EXPECT_EQ(ui.asked[0].text, "Address from is required.");
  EXPECT_EQ(ui.asked[1].text, "Done.");
  EXPECT_EQ(ui.asked[0].kind, "warning");
}
