#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uManifest.h"
#include "core/uRotation.h"
#include "notify/uNotifier.h"
#include "tests/support/RunRecorder.h"
#include "tests/support/TestSupport.h"

using namespace tavik;
using tavik::test::ReadFile;
using tavik::test::SetMTime;
using tavik::test::WriteFile;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> Entries(const std::string& folder) {
  TManifest m;
  std::string why;
  EXPECT_TRUE(m.Read(folder + "/", why)) << why;
  return m.Entries;
}

std::set<std::string> Listed(const std::string& folder) {
  std::set<std::string> r;
  for (const auto& [name, _] : Entries(folder)) r.insert(name);
  return r;
}

TEST(Manifest, WrittenInNameOrderAsSha256sumChecksItAndReadBack) {
  tavik::test::TTempDir dir;
  const std::string folder = dir.Path() + "/";
  WriteFile(folder + "b.spi", "bee");
  WriteFile(folder + "A.spf", "ay");
  TManifest m;
  std::string hex;
  int err = 0;
  for (const char* name : {"b.spi", "A.spf"}) {
    ASSERT_TRUE(TQorvFileCopier::FileSha256(folder + name, hex, err));
    m.Entries[name] = hex;
  }
  m.Write(folder);
  const std::string text = ReadFile(folder + "SHA256SUMS");
  EXPECT_LT(text.find("  A.spf\n"), text.find("  b.spi\n"));
  EXPECT_EQ(text.size(), 2 * (64 + 2 + 6));
  std::string output;
  EXPECT_TRUE(tavik::test::Sha256sumCheck(dir.Path(), &output)) << output;
  EXPECT_EQ(Entries(dir.Path()), m.Entries);
  // Nothing but the manifest is left beside the files.
  EXPECT_EQ(tavik::test::ImageNames(dir.Path()), (std::set<std::string>{"A.spf", "b.spi"}));

  // What sha256sum itself may write is read as well; lines that are no entry are dropped.
  const std::string h(64, 'A'), l(64, 'a');
  WriteFile(folder + "SHA256SUMS", h + " *bin.spi\r\n" + l + "  x.spi\nnot a line\n" + l + "   \n" + l +
                                       "  ../up.spi\n" + std::string(63, 'a') + "  short.spi\n");
  EXPECT_EQ(Entries(dir.Path()),
            (std::map<std::string, std::string>{{"bin.spi", l}, {"x.spi", l}, {" ", l}}));

  // No entries, no manifest: sha256sum -c fails on an empty one.
  m.Entries.clear();
  m.Write(folder);
  EXPECT_FALSE(fs::exists(folder + "SHA256SUMS"));
  std::string why;
  EXPECT_TRUE(m.Read(folder, why));
  EXPECT_TRUE(m.Entries.empty());
  EXPECT_FALSE(m.Found);
}

// The manifest comes back on a disk anyone may have held: what stands in its place is refused
// with the reason, at once, and never read without end.
TEST(Manifest, WhatIsNoManifestFileIsRefusedWithoutWaitingOrReadingForEver) {
  const struct {
    const char* name;
    std::function<void(const std::string&)> plant;
    const char* why;
  } cases[] = {
      {"a FIFO", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, "not a regular file"},
      {"a link to a device", [](const std::string& p) { ::symlink("/dev/zero", p.c_str()); },
       "symbolic link"},
      {"a large sparse file",
       [](const std::string& p) {
         WriteFile(p, "");
         ::truncate(p.c_str(), 16LL << 30);
       },
       "longer than"},
  };
  for (const auto& c : cases) {
    tavik::test::TTempDir dir;
    const std::string folder = dir.Path() + "/";
    WriteFile(folder + "C_full.spf", "image");
    c.plant(folder + "SHA256SUMS");
    TManifest m;
    std::string why;
    EXPECT_FALSE(m.Read(folder, why)) << c.name;
    EXPECT_THAT(why, HasSubstr(c.why)) << c.name;
  }
}

TEST(Manifest, ItsTemporaryFileIsOneTheRotationRemoves) {
  EXPECT_TRUE(TQorvFileCopier::IsPartialName(ExtractFileName(TQorvFileCopier::PartialPath("/d/SHA256SUMS"))));
}

class ManifestRotation : public ::testing::Test {
 protected:
  void SetUp() override {
    logger.ConfigureLog(true, "TavikShadowCopy", "");
    LoadSettings(notifier);
    fc.KeepFileDate = true;  // as the run copies
    fs::create_directories(src);
    fs::create_directories(dst);
  }
  void Image(const std::string& name, long long mtime, const std::string& content) {
    WriteFile(src + "/" + name, content);
    SetMTime(src + "/" + name, mtime);
  }
  void Rotate() { RotateVolume(out, fc, notifier, TVolumeJob{src, dst, "C", true, true}); }

  tavik::test::TSealedEnv env;
  tavik::test::TScriptedUi ui;
  TQorvLogger logger;
  tavik::test::TRunRecorder view;
  TLineOutput out{logger, view};
  TQorvFileCopier fc;
  TNotifier notifier;
  tavik::test::TTempDir dir;
  std::string src = dir / "src";
  std::string dst = dir / "dst";
};

TEST_F(ManifestRotation, AChainMoveRewritesTheManifestWithTheNewChainOnly) {
  Image("C_old.spf", 1'000'000, "old full");
  Image("C_old_i1.spi", 1'000'010, "old incremental");
  Rotate();
  EXPECT_EQ(Listed(dst), (std::set<std::string>{"C_old.spf", "C_old_i1.spi"}));

  Image("C_new.spf", 2'000'000, "new full");
  Image("C_new.md5", 2'000'001, "its checksum");
  Image("C_new_i1.spi", 2'000'010, "new incremental");
  WriteFile(dst + "/notes.txt", "the operator's own file");
  Rotate();

  EXPECT_EQ(Listed(dst), (std::set<std::string>{"C_new.spf", "C_new.md5", "C_new_i1.spi"}));
  EXPECT_EQ(tavik::test::ImageNames(dst),
            (std::set<std::string>{"C_new.spf", "C_new.md5", "C_new_i1.spi", "notes.txt"}));
  EXPECT_TRUE(out.ErrorLines().empty());
  // The copier is left as the rotation found it.
  EXPECT_FALSE(fc.HashCopies);
  EXPECT_FALSE(fc.OnCopied);

  // A run that copies nothing leaves the manifest untouched.
  SetMTime(dst + "/SHA256SUMS", 1'234'567);
  const auto stamped = fs::last_write_time(dst + "/SHA256SUMS");
  Rotate();
  EXPECT_EQ(fs::last_write_time(dst + "/SHA256SUMS"), stamped);
}

// A run killed at any point of a chain move: whatever the manifest lists then still checks out.
TEST_F(ManifestRotation, ACrashAnywhereLeavesAManifestThatPassesForWhatItLists) {
  for (int crashAtBlock : {1, 2, 3, 4}) {
    SCOPED_TRACE("killed at the copy's block " + std::to_string(crashAtBlock));
    fs::remove_all(src);
    fs::remove_all(dst);
    fs::create_directories(src);
    fs::create_directories(dst);
    Image("C_old.spf", 1'000'000, "old full");
    Image("C_old_i1.spi", 1'000'010, "old incremental");
    Rotate();
    Image("C_new.spf", 2'000'000, std::string(3000, 'f'));
    Image("C_new_i1.spi", 2'000'010, std::string(1500, 'i'));
    Image("C_new_i2.spi", 2'000'020, std::string(1500, 'j'));
    fc.BlockSize = 1000;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int blocks = 0;
      fc.OnProgress = [&](double, int32_t, int32_t) {
        if (++blocks == crashAtBlock * 2) ::_exit(0);
      };
      Rotate();
      ::_exit(1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the rotation ended before the crash";
    if (fs::exists(dst + "/SHA256SUMS")) {
      std::string output;
      EXPECT_TRUE(tavik::test::Sha256sumCheck(dst, &output)) << output;
    }
    Rotate();
    // A copy renamed into place just before the crash is whole and stays; it gets its entry at
    // the next --verify, and the run says so.
    const std::set<std::string> chain{"C_new.spf", "C_new_i1.spi", "C_new_i2.spi"}, listed = Listed(dst);
    EXPECT_TRUE(std::includes(chain.begin(), chain.end(), listed.begin(), listed.end()));
    if (listed != chain) {
      EXPECT_NE(view.memo.back().find("without an entry in SHA256SUMS"), std::string::npos);
    }
    EXPECT_EQ(tavik::test::ImageNames(dst), chain);
  }
}

}  // namespace
