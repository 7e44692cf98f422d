#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
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

// The writer killed part way through the new manifest (a kill, a crash or a full disk at that
// moment): what stands under the manifest's name is the old one, whole. The flush before the
// rename, which keeps the same promise across a power cut, only a real power cut could show.
TEST(Manifest, AWriterKilledMidWriteLeavesTheOldManifestWhole) {
  tavik::test::TTempDir dir;
  const std::string folder = dir.Path() + "/";
  TManifest old;
  old.Entries = {{"C_a.spf", std::string(64, 'a')}, {"C_a_i1.spi", std::string(64, 'b')}};
  old.Write(folder);
  const std::string before = ReadFile(folder + "SHA256SUMS");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    tavik::test::DieWhenAFileReaches(100);
    TManifest bigger;
    for (int i = 0; i < 50; ++i) bigger.Entries["C_b_i" + std::to_string(i) + ".spi"] = std::string(64, 'c');
    try {
      bigger.Write(folder);
    } catch (...) {
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "the writer was not cut off mid-write";
  EXPECT_EQ(ReadFile(folder + "SHA256SUMS"), before);
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
  // A rotation in a child killed at its copies' progressCall-th progress call; false when it
  // ended before.
  bool RotateKilledAt(int progressCall) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
      int calls = 0;
      fc.OnProgress = [&](double, int32_t, int32_t) {
        if (++calls == progressCall) ::_exit(0);
      };
      Rotate();
      ::_exit(1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

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
    ASSERT_TRUE(RotateKilledAt(crashAtBlock * 2)) << "the rotation ended before the crash";
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

// Without room for both chains the older one goes first: its entries go before it does, so a
// crash during the new full image's copy leaves a manifest that still passes.
TEST_F(ManifestRotation, WithoutRoomForBothChainsACrashAfterTheOlderChainWentLeavesAPassingManifest) {
  tavik::test::TSmallDisk disk(dst, "128k");
  if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  Image("C_old.spf", 1'000'000, std::string(32768, 'o'));
  Image("C_old_i1.spi", 1'000'010, "old incremental");
  Rotate();
  ASSERT_EQ(Listed(dst), (std::set<std::string>{"C_old.spf", "C_old_i1.spi"}));
  // The operator's own file fills the disk but for two pages: the new full image needs three.
  struct statvfs vfs {};
  ASSERT_EQ(::statvfs(dst.c_str(), &vfs), 0);
  const long long freeBytes = static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize);
  ASSERT_GT(freeBytes, 8192);
  WriteFile(dst + "/notes.txt", std::string(static_cast<size_t>(freeBytes - 8192), 'n'));
  Image("C_new.spf", 2'000'000, std::string(12000, 'f'));
  Image("C_new_i1.spi", 2'000'010, "new incremental");
  fc.BlockSize = 1000;

  ASSERT_TRUE(RotateKilledAt(4)) << "the rotation ended before the crash";
  EXPECT_FALSE(fs::exists(dst + "/C_old.spf")) << "the older chain was to go first";
  EXPECT_FALSE(fs::exists(dst + "/C_new.spf"));
  if (fs::exists(dst + "/SHA256SUMS")) {
    std::string output;
    EXPECT_TRUE(tavik::test::Sha256sumCheck(dst, &output)) << output;
  }
  Rotate();
  EXPECT_EQ(Listed(dst), (std::set<std::string>{"C_new.spf", "C_new_i1.spi"}));
}

// Files someone else removed from the disk lose their entries, or sha256sum -c would fail on
// the disk for ever.
TEST_F(ManifestRotation, EntriesOfFilesRemovedBySomeoneElseAreDropped) {
  Image("C_a.spf", 1'000'000, "full");
  Image("C_a_i1.spi", 1'000'010, "one");
  Image("C_a_i2.spi", 1'000'020, "two");
  Rotate();
  // The newest incremental pruned by hand, from the source and the disk alike.
  fs::remove(src + "/C_a_i2.spi");
  fs::remove(dst + "/C_a_i2.spi");
  Rotate();
  EXPECT_EQ(Listed(dst), (std::set<std::string>{"C_a.spf", "C_a_i1.spi"}));
  std::string output;
  EXPECT_TRUE(tavik::test::Sha256sumCheck(dst, &output)) << output;
}

// Root reads through any permission; without the capabilities that let it, a file of mode 0 is
// unreadable to root as to anyone.
bool DropReadingThroughPermissions() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned dac = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
  for (auto& d : data) d.effective &= ~dac, d.permitted &= ~dac, d.inheritable &= ~dac;
  return ::syscall(SYS_capset, &header, data) == 0;
}

// A manifest that cannot be read is not one without entries: rewriting it from the new copies
// alone would lose every older entry. It stays as it is, and the run says so.
TEST_F(ManifestRotation, AManifestThatCannotBeReadIsLeftAsItIs) {
  Image("C_a.spf", 1'000'000, "full");
  Image("C_a_i1.spi", 1'000'010, "one");
  Rotate();
  const std::string manifest = dst + "/SHA256SUMS", before = ReadFile(manifest);
  ASSERT_EQ(::chmod(manifest.c_str(), 0), 0);
  Image("C_a_i2.spi", 1'000'020, "two");
  const std::string lines = dir / "lines";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!DropReadingThroughPermissions()) ::_exit(2);
    Rotate();
    std::string shown;
    for (const std::string& l : view.memo) shown += l + "\n";
    WriteFile(lines, shown);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot give up capabilities here";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_THAT(ReadFile(lines),
              ::testing::HasSubstr("Cannot read " + manifest + ": Permission denied; it is left as it is\n"));
  EXPECT_EQ(ReadFile(manifest), before);
  EXPECT_EQ(ReadFile(dst + "/C_a_i2.spi"), "two") << "the chain is still carried";
}

}  // namespace
