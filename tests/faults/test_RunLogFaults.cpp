// The run log under faults of its own folder and under another account's hand: a log that cannot
// be written costs the run nothing but the log (said once), and a file another account puts at the
// log's name is never written, cut, attached or quoted by a root run.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "QorvLib/uQorvFiles.h"
#include "tests/faults/FaultRun.h"

namespace tavik::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Names = std::set<std::string>;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct TLogFault {
  const char* name;
  const char* reason;  // what the system says, before ": <log>"
};

class UnwritableRunLog : public MailedFaultRunTest, public ::testing::WithParamInterface<TLogFault> {};

TEST_P(UnwritableRunLog, IsSaidOnceAndTheChainIsStillCopied) {
  const std::string folder = ExtractFilePath(logPath);
  std::unique_ptr<TSmallDisk> disk;
  const std::string fault = GetParam().name;
  if (fault == "Missing") {
    std::filesystem::remove_all(folder);
  } else {
    disk = std::make_unique<TSmallDisk>(folder, "64k");
    if (!disk->Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    if (fault == "ReadOnly") {
      ASSERT_EQ(::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
          << std::strerror(errno);
    } else {
      std::ofstream fill(folder + "filler", std::ios::binary);
      const std::string block(4096, 'f');
      while (fill.write(block.data(), static_cast<std::streamsize>(block.size()))) {
      }
    }
  }
  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_EQ(r.closeRequests, 1);
  EXPECT_TRUE(r.hadErrors) << "the run's exit status is 1";
  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi"}));
  EXPECT_EQ(ReadFile(dst + "/C_new.spf"), image);
  const std::string said =
      std::string("The run log could not be written: ") + GetParam().reason + ": " + logPath;
  EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), said), 1);
  EXPECT_EQ(r.errors, said + "\n");
  ExpectErrorMail(said + "<br />");
  EXPECT_EQ(Count(Mails(server)[0].second, said), 1u);
}

INSTANTIATE_TEST_SUITE_P(Folder, UnwritableRunLog,
                         ::testing::Values(TLogFault{"Full", "No space left on device"},
                                           TLogFault{"ReadOnly", "Read-only file system"},
                                           TLogFault{"Missing", "No such file or directory"}),
                         [](const auto& info) { return std::string(info.param.name); });

using RunLogSwap = MailedFaultRunTest;

// The account nobody may write the log folder. While a root run copies, it puts a link to a file
// only root can read at the log's name: that file keeps its content, and none of it goes out.
TEST_F(RunLogSwap, ALinkAnotherAccountPutsAtTheLogsNameIsNeverWrittenOrMailed) {
  const std::string secret = dir / "root-only";
  const std::string secretText = "ROOT-ONLY 7f3a9c secret line\r\n";
  WriteFile(secret, secretText);
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  TNotifier n;
  LoadSettings(n);
  n.LogEmails = "log@example.org";
  SaveSettings(n);
  const std::string folder = ExtractFilePath(logPath);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  // Every folder down to the log's may be entered by others, as on a real machine.
  for (std::filesystem::path p = std::filesystem::path(RemoveTrailingSeparator(folder)).parent_path();
       p.string().rfind(env.Dir().Path(), 0) == 0; p = p.parent_path())
    ::chmod(p.c_str(), 0755);

  const std::string swapped = dir / "swapped";
  const TRunResult r = RunUnattended([&](TQorvFileCopier& fc) {
    fc.OnProgress = [&, done = false](double, int32_t, int32_t) mutable {
      if (done) return;
      done = true;
      const pid_t pid = ::fork();
      if (pid == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
        const bool ok = ::symlink(secret.c_str(), (folder + "swap").c_str()) == 0 &&
                        ::rename((folder + "swap").c_str(), logPath.c_str()) == 0;
        ::_exit(ok ? 0 : 1);
      }
      int status = 0;
      ::waitpid(pid, &status, 0);
      WriteFile(swapped, std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 9));
    };
  });
  ASSERT_TRUE(std::filesystem::exists(swapped));
  if (ReadFile(swapped) == "2") GTEST_SKIP() << "cannot take another account's identity here";
  ASSERT_EQ(ReadFile(swapped), "0") << "nobody could not swap the log";
  ASSERT_TRUE(r.endedByItself);

  EXPECT_EQ(ReadFile(secret), secretText);
  struct stat st {};
  ASSERT_EQ(::stat(secret.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  struct stat at {};
  ASSERT_EQ(::lstat(logPath.c_str(), &at), 0);
  EXPECT_TRUE(S_ISLNK(at.st_mode)) << "the link is left where it was put";

  EXPECT_EQ(DestinationNames(), (Names{"C_new.spf", "C_new_i1.spi"}));
  const std::string said = "The run log could not be written: " + logPath + " is a link";
  EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), said), 1);
  const std::vector<TReceivedMail> mails = server.Messages();
  ASSERT_FALSE(mails.empty());
  EXPECT_THAT(Mails(server)[0].second, HasSubstr(said));
  for (const TReceivedMail& m : mails) {
    EXPECT_THAT(m.raw, Not(HasSubstr("ROOT-ONLY")));
    for (const auto& part : ParseMailWithPython(m.raw).parts)
      EXPECT_THAT(part.payload, Not(HasSubstr("ROOT-ONLY")));
  }
}

}  // namespace
}  // namespace tavik::test
