// Faults of the disks during an unattended run: the backup disk fills up, the source image is cut
// short or goes away, the destination folder cannot be changed, the run log cannot be written.
// Each run must end by itself, leave no partial image under a final name, lose nothing of the
// previous chain beyond the rotation's own deletions, and report the fault in a line and a mail.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "tests/faults/FaultRun.h"

namespace tavik::test {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Names = std::set<std::string>;

using DiskFaults = MailedFaultRunTest;

TEST_F(DiskFaults, BackupDiskFillsUpDuringTheCopy) {
  // Files stop growing at half the image, as a disk with that much room left refuses the rest.
  const TRunResult r = RunUnattended({}, ImageSize / 2);
  ASSERT_TRUE(r.endedByItself);
  EXPECT_EQ(r.closeRequests, 1);
  EXPECT_TRUE(r.hadErrors);
  // The file system had room for both chains, so the old one was to go only after the copy.
  EXPECT_EQ(DestinationNames(), (Names{"C_old.md5", "C_old.spf", "C_old_i1.spi"}));
  EXPECT_THAT(r.ErrorLines(), ElementsAre(AllOf(HasSubstr("Error copying " + src + "/C_new.spf"),
                                                HasSubstr("File too large"))));
  ExpectErrorMail("Error copying " + src + "/C_new.spf");
}

struct TSourceFault {
  const char* name;
  std::function<void(const std::string& path)> strike;  // at the first progress of the image copy
};

void PrintTo(const TSourceFault& c, std::ostream* os) {
  *os << c.name;
}

class SourceFaults : public DiskFaults, public ::testing::WithParamInterface<TSourceFault> {};

// Whatever happens to the image while it is read, the copy fails and nothing reaches its final
// name; the next run copies the image as it then stands, whole.
TEST_P(SourceFaults, DuringTheCopy) {
  const TSourceFault& c = GetParam();
  const std::string source = src + "/C_new.spf";
  bool struck = false;
  const TRunResult r = RunUnattended([&](TQorvFileCopier& fc) {
    fc.BlockSize = 4096;
    fc.OnProgress = [&](double, int32_t, int32_t) {
      if (!struck) c.strike(source);
      struck = true;
    };
  });
  ASSERT_TRUE(r.endedByItself);
  EXPECT_EQ(r.closeRequests, 1);
  EXPECT_TRUE(r.hadErrors);
  EXPECT_EQ(DestinationNames(), (Names{"C_old.md5", "C_old.spf", "C_old_i1.spi"}));
  EXPECT_THAT(r.ErrorLines(), ElementsAre("Error: Error copying " + source + " to " + dst +
                                          "/C_new.spf: the source changed during the copy"));
  ExpectErrorMail("the source changed during the copy");

  if (!std::filesystem::exists(source)) return;
  const TRunResult again = RunUnattended();
  ASSERT_TRUE(again.endedByItself);
  EXPECT_FALSE(again.hadErrors);
  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi"}));
  EXPECT_EQ(ReadFile(dst + "/C_new.spf"), ReadFile(source));
}

INSTANTIATE_TEST_SUITE_P(
    Image, SourceFaults,
    ::testing::Values(
        TSourceFault{"Grows",
                     [](const std::string& p) {
                       std::ofstream(p, std::ios::binary | std::ios::app) << std::string(100000, 'g');
                     }},
        TSourceFault{"Shrinks", [](const std::string& p) { (void)::truncate(p.c_str(), 65536); }},
        // Same size and times, but written over: only the change time tells.
        TSourceFault{"RewrittenInPlace", [](const std::string& p) { RewriteKeepingTimes(p, "rewritten"); }},
        TSourceFault{"Vanishes", [](const std::string& p) { ::unlink(p.c_str()); }}),
    [](const auto& info) { return std::string(info.param.name); });

// Root ignores permission bits; an immutable folder refuses root as well.
class ImmutableFolder {
 public:
  explicit ImmutableFolder(std::string path) : path_(std::move(path)) {
    set_ = std::system(("chattr +i '" + path_ + "' 2>/dev/null").c_str()) == 0;
  }
  ~ImmutableFolder() {
    if (set_) (void)std::system(("chattr -i '" + path_ + "'").c_str());
  }
  bool Set() const { return set_; }

 private:
  std::string path_;
  bool set_ = false;
};

TEST_F(DiskFaults, DestinationFolderCannotBeChanged) {
  ImmutableFolder frozen(dst);
  if (!frozen.Set()) GTEST_SKIP() << "the file system of " << dst << " has no immutable folders";
  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_EQ(r.closeRequests, 1);
  EXPECT_TRUE(r.hadErrors);
  EXPECT_EQ(DestinationNames(), (Names{"C_old.md5", "C_old.spf", "C_old_i1.spi"}));
  // The copy comes first on a disk with room for both chains: asked about once and given up,
  // it ends the volume before any deletion is tried.
  for (const std::string& l : r.lines) EXPECT_THAT(l, ::testing::Not(HasSubstr("delet"))) << l;
  EXPECT_EQ(r.questions, 1);
  const std::string notCopied =
      "File not copied " + src + "/C_new.spf to " + dst + " (aborted: Operation not permitted)";
  EXPECT_THAT(r.lines, Contains(notCopied));
  ExpectErrorMail(notCopied);
}

TEST_F(DiskFaults, RunLogCannotBeWritten) {
  WriteFile(logPath + "/blocker", "");  // the log's name is taken by a folder
  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_EQ(r.closeRequests, 1);
  EXPECT_TRUE(r.hadErrors);
  // The log is a record, not a condition: the volume still runs.
  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi"}));
  const std::string said = "The run log could not be written: " + logPath + " is not a regular file";
  EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), said), 1);
  EXPECT_EQ(r.errors, said + "\n");
  ExpectErrorMail(said);
}

}  // namespace
}  // namespace tavik::test
