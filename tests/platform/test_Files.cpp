// Files by name and handle, as the copier and the settings use them, on either system.
#include "platform/uFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/uSystem.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

constexpr bool kWindows = PathDelim == '\\';

std::string ReadAll(TFile& f) {
  std::string r;
  char buf[7];  // smaller than the contents, so reads continue where they stopped
  for (long long n; (n = f.Read(buf, sizeof buf)) > 0;) r.append(buf, static_cast<size_t>(n));
  return r;
}

// Writes, renames over, reads back and removes the file at path, as a night's copy does.
void RoundTrip(const std::string& path, const std::string& other) {
  TFile out = TFile::CreateAlways(path, ShareNone);
  ASSERT_TRUE(out.IsOpen()) << path << ": " << out.Error();
  ASSERT_TRUE(out.WriteAll("first version, long", 19));
  ASSERT_TRUE(out.Flush());
  ASSERT_TRUE(out.Close());
  // Always a new empty file: nothing of the longer first version is left.
  out = TFile::CreateAlways(path, ShareNone);
  ASSERT_TRUE(out.WriteAll("second", 6));
  ASSERT_TRUE(out.Close());

  TFile in = TFile::OpenRead(path, ShareRead);
  ASSERT_TRUE(in.IsOpen());
  EXPECT_EQ(ReadAll(in), "second");
  EXPECT_EQ(in.Read(nullptr, 0), 0);
  in.Close();

  ASSERT_TRUE(ReplaceFileContent(other, "older"));
  ASSERT_TRUE(RenameReplacing(path, other)) << LastFileError();
  std::string content;
  ASSERT_TRUE(ReadWholeFile(other, content));
  EXPECT_EQ(content, "second");
  bool missing = false;
  EXPECT_FALSE(ReadWholeFile(path, content, &missing));
  EXPECT_TRUE(missing);

  EXPECT_TRUE(RemoveFile(other));
  EXPECT_FALSE(RemoveFile(other));
  EXPECT_NE(LastFileError(), 0);
  EXPECT_FALSE(TFile::OpenRead(other, ShareRead).IsOpen());
}

TEST(Files, WriteRenameReadRemove) {
  TTempDir dir;
  RoundTrip(dir / "copy.spi", dir / "image.spi");
}

// Past the old 260-character limit Windows takes a name only in its \\?\ form; the caller
// never writes that form itself.
TEST(Files, PathsPastTheOldLimit) {
  TTempDir dir;
  const std::string folder = dir / std::string(200, 'f');
  std::filesystem::create_directory(folder);
  const std::string path = folder + PathDelim + std::string(150, 'a') + ".spi";
  ASSERT_GT(path.size(), 300u);
  RoundTrip(path, folder + "/" + std::string(150, 'b') + ".spi");
  std::filesystem::remove(folder);
}

TEST(Files, ReplaceContentLeavesNoTemporaryBehind) {
  TTempDir dir;
  const std::string file = dir / "settings.ini";
  ASSERT_TRUE(ReplaceFileContent(file, "[A]\r\nK=1\r\n"));
  ASSERT_TRUE(ReplaceFileContent(file, "[A]\r\nK=2\r\n"));
  EXPECT_EQ(ReadFile(file), "[A]\r\nK=2\r\n");
  int names = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) names += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(names, 1);
  // A folder in the way: nothing replaced, and the failure told.
  std::filesystem::create_directory(dir / "folder");
  EXPECT_FALSE(ReplaceFileContent(dir / "folder", "x"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "folder"));
}

// An image the imaging product is still writing: it lets others read and write beside it, but
// not delete. A copy must still be able to read it, and must not take it away.
TEST(Files, AnImageHeldOpenWithoutShareDelete) {
  if (!kWindows) GTEST_SKIP() << "POSIX has no share modes: every open file may be read and unlinked";
  constexpr int kSharingViolation = 32;  // ERROR_SHARING_VIOLATION
  TTempDir dir;
  const std::string image = dir / "Server_C_VOL-b001-i0003.spi";
  TFile writer = TFile::CreateAlways(image, ShareRead | ShareWrite);
  ASSERT_TRUE(writer.IsOpen());
  ASSERT_TRUE(writer.WriteAll("increment", 9));
  ASSERT_TRUE(writer.Flush());

  // Letting others read but not write is refused while a writer has it open.
  TFile strict = TFile::OpenRead(image, ShareRead);
  EXPECT_FALSE(strict.IsOpen());
  EXPECT_EQ(strict.Error(), kSharingViolation);

  TFile reader = TFile::OpenRead(image, ShareRead | ShareWrite);
  ASSERT_TRUE(reader.IsOpen()) << reader.Error();
  EXPECT_EQ(ReadAll(reader), "increment");
  std::string whole;
  EXPECT_TRUE(ReadWholeFile(image, whole));
  EXPECT_EQ(whole, "increment");

  EXPECT_FALSE(RemoveFile(image));
  EXPECT_EQ(LastFileError(), kSharingViolation);
  EXPECT_FALSE(RenameReplacing(image, dir / "moved.spi"));
  reader.Close();
  writer.Close();
  EXPECT_TRUE(RemoveFile(image));
}

// A second taker waits until the first lets go, whatever spelling of the folder's name it uses.
TEST(Files, FolderLockWaitsForItsHolder) {
  TTempDir dir;
  const std::string folder = dir / "Settings";
  ASSERT_TRUE(MakeFolder(folder, -1));
  std::string other = folder + PathDelim;
  if (kWindows)
    for (char& c : other) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::atomic<bool> released{false};
  bool tookAfterRelease = false;
  std::thread taker;
  {
    const TFolderLock first(folder);
    ASSERT_TRUE(first.Held());
    taker = std::thread([&] {
      const TFolderLock second(other);
      tookAfterRelease = second.Held() && released.load();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    released = true;
  }
  taker.join();
  EXPECT_TRUE(tookAfterRelease);
  EXPECT_FALSE(TFolderLock(dir / "missing").Held());
}

}  // namespace
}  // namespace tavik
