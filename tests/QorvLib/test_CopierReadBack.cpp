#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>

#include "QorvLib/uQorvFileCopier.h"
#include "platform/uErrors.h"
#include "tests/support/TestSupport.h"

// A verified copy is only worth its cost when it is read back from the device, not from the pages
// the copy itself left in the cache. This program stands in for the kernel's advice call: once a
// file's cached pages are dropped, the next read shows what the device holds, and the device of
// this test holds one byte other than the one written, as a failing disk under an intact cache
// would. A copier that read back without dropping the cache first would never see it, and one that
// dropped only some of the pages would read the changed byte from the cache.
namespace {
int g_flipOnDrop = -1;  // the offset the device changes, or -1 for a sound device
int g_drops = 0;
}  // namespace

extern "C" int posix_fadvise(int fd, off_t offset, off_t len, int advice) noexcept {
  const long r = ::syscall(SYS_fadvise64, fd, offset, len, advice);
  const bool covers = offset <= g_flipOnDrop && (len == 0 || g_flipOnDrop < offset + len);
  if (advice == POSIX_FADV_DONTNEED && g_flipOnDrop >= 0 && covers) {
    ++g_drops;
    char c = 0;
    if (::pread(fd, &c, 1, g_flipOnDrop) == 1) {
      c = static_cast<char>(c ^ 0x5a);
      if (::pwrite(fd, &c, 1, g_flipOnDrop) != 1) return EIO;
    }
  }
  return r == 0 ? 0 : errno;
}

// The second read of a large source, the one its hash is taken from on a thread of its own, as
// the world may make it: late (still at its first bytes when the copy is flushed, by which time
// the imaging product has rewritten the source in place), or cut short without the file's size
// changing (a file system that answers "end" early). Either way the hash stands for other bytes
// than the copy's, and the copy must not be taken with it.
// The copy's flush before its rename has no test: without it nothing changes that a running
// system can see; only a power cut, or a device that drops unflushed writes, would show it.
namespace {
enum class TSecondRead { Sound, LagsPastTheFlush, EndsEarly };
std::atomic<TSecondRead> g_secondRead{TSecondRead::Sound};
std::string g_source;
ino_t g_sourceInode = 0;
std::atomic<int> g_secondReads{0};
std::mutex g_flushLock;
std::condition_variable g_flushed;
bool g_flushDone = false;

bool IsSource(int fd) {
  struct stat st {};
  return g_sourceInode != 0 && ::fstat(fd, &st) == 0 && st.st_ino == g_sourceInode;
}
}  // namespace

// The copy reads its source through the kernel's copy or plain reads; only the hash reads it at
// an offset.
extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  const TSecondRead how = g_secondRead;
  if (how != TSecondRead::Sound && IsSource(fd)) {
    ++g_secondReads;
    if (how == TSecondRead::EndsEarly && offset >= (off_t{1} << 20)) return 0;
    if (how == TSecondRead::LagsPastTheFlush) {
      std::unique_lock<std::mutex> lock(g_flushLock);
      g_flushed.wait_for(lock, std::chrono::seconds(10), [] { return g_flushDone; });
    }
  }
  return ::syscall(SYS_pread64, fd, buf, count, offset);
}

extern "C" int fsync(int fd) {
  if (g_secondRead == TSecondRead::LagsPastTheFlush && !IsSource(fd)) {
    std::lock_guard<std::mutex> lock(g_flushLock);
    if (!g_flushDone) {
      const int src = ::open(g_source.c_str(), O_WRONLY | O_CLOEXEC);
      if (src >= 0) {
        (void)!::pwrite(src, "rewritten", 9, 2 << 20);
        ::close(src);
      }
      g_flushDone = true;
    }
    g_flushed.notify_all();
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace tavik {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

TEST(CopierReadBack, AVerifiedCopyIsReadFromTheDeviceNotFromTheCache) {
  TTempDir dir;
  std::string data(100 * 1000 + 3, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  WriteFile(dir / "src", data);
  TQorvFileCopier fc;
  fc.VerifyCopies = true;
  struct {
    bool deviceChanges, copied;
  } cases[] = {{false, true}, {true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.deviceChanges ? "the device gives back other bytes" : "a sound device");
    std::filesystem::remove(dir / "dst");
    g_flipOnDrop = c.deviceChanges ? 54321 : -1;
    g_drops = 0;
    try {
      EXPECT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
      EXPECT_TRUE(c.copied) << "the copy was checked against the cache, not the device";
      EXPECT_EQ(ReadFile(dir / "dst"), data);
    } catch (const EQorvError& e) {
      EXPECT_FALSE(c.copied) << e.Message();
      EXPECT_EQ(e.Message(), "Error copying " + dir / "src" + " to " + dir / "dst" +
                                 ": the copy read back from the disk differs from the source");
      EXPECT_FALSE(std::filesystem::exists(dir / "dst"));
    }
    if (c.deviceChanges) {
      EXPECT_GE(g_drops, 1) << "the cached pages were never dropped";
    }
  }
  g_flipOnDrop = -1;
}

TEST(CopierSourceHash, ASecondReadOfOtherBytesFailsTheCopy) {
  TTempDir dir;
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + i / 4093);
  for (TSecondRead how : {TSecondRead::LagsPastTheFlush, TSecondRead::EndsEarly}) {
    SCOPED_TRACE(how == TSecondRead::EndsEarly ? "the second read ends early" : "the second read lags");
    std::filesystem::remove(dir / "dst");
    WriteFile(dir / "src", data);
    // A time of its own, so a rewrite within the same clock tick still shows.
    test::SetMTime(dir / "src", 1'000'000'000);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "src").c_str(), &st), 0);
    g_source = dir / "src";
    g_sourceInode = st.st_ino;
    g_secondReads = 0;
    g_flushDone = false;
    g_secondRead = how;
    TQorvFileCopier fc;
    fc.HashCopies = true;
    try {
      const TCopyResult r = fc.CopyFileTo(dir / "src", dir / "dst");
      std::string copied;
      int err = 0;
      ASSERT_TRUE(TQorvFileCopier::FileSha256(dir / "dst", copied, err));
      ADD_FAILURE() << "copied (" << r << ") with the hash " << fc.LastSha256() << " of a copy whose hash is "
                    << copied;
    } catch (const EQorvError& e) {
      EXPECT_EQ(e.Message(), "Error copying " + dir / "src" + " to " + dir / "dst" +
                                 ": the source changed during the copy");
    }
    g_secondRead = TSecondRead::Sound;
    g_sourceInode = 0;
    EXPECT_GT(g_secondReads, 0) << "the hash never read the source a second time";
    EXPECT_FALSE(std::filesystem::exists(dir / "dst"));
  }
}

}  // namespace
}  // namespace tavik
