#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "QorvLib/uQorvFileCopier.h"
#include "platform/uErrors.h"
#include "tests/support/TestSupport.h"

// A verified copy is only worth its cost when it is read back from the device, not from the pages
// the copy itself left in the cache. This program stands in for the kernel's advice call: once a
// file's cached pages are dropped, the next read shows what the device holds, and the device of
// this test holds one byte other than the one written, as a failing disk under an intact cache
// would. A copier that read back without dropping the cache first would never see it.
namespace {
int g_flipOnDrop = -1;  // the offset the device changes, or -1 for a sound device
int g_drops = 0;
}  // namespace

extern "C" int posix_fadvise(int fd, off_t offset, off_t len, int advice) noexcept {
  const long r = ::syscall(SYS_fadvise64, fd, offset, len, advice);
  if (advice == POSIX_FADV_DONTNEED && g_flipOnDrop >= 0) {
    ++g_drops;
    char c = 0;
    if (::pread(fd, &c, 1, g_flipOnDrop) == 1) {
      c = static_cast<char>(c ^ 0x5a);
      if (::pwrite(fd, &c, 1, g_flipOnDrop) != 1) return EIO;
    }
  }
  return r == 0 ? 0 : errno;
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

}  // namespace
}  // namespace tavik
