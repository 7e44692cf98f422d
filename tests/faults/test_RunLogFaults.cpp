// The run log under faults of its own folder and under another account's hand: a log that cannot
// be written costs the run nothing but the log (said once), and a file another account puts at the
// log's name is never written, cut, attached or quoted by a root run; a long run's log mail still
// shows how the run began.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "QorvLib/uQorvFiles.h"
#include "tests/faults/FaultRun.h"
#include "tests/support/Schedule.h"

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

using LongRunLog = MailedFaultRunTest;

// The log mail of a run too long for the log still shows how the run began: its start and disk
// check, then one line counting what the trims left out, then the newest lines up to the report.
TEST_F(LongRunLog, ItsMailShowsHowTheRunBegan) {
  TNotifier n;
  LoadSettings(n);
  ScheduleEveryDay(n, "Disk1");
  n.LogEmails = "log@example.org";
  SaveSettings(n);
  WriteFile(dst + "/ID.txt", "Disk1\r\n");
  WriteFile(jobPath, "[Main]\r\nSystemDiskAllowed=1\r\nMaxImageAgeHours=0\r\nIDPath=" + dst +
                         "\r\nSource=" + src + "\r\nDestination=" + dst + "\r\nVolume=C\r\n");
  // About 1 KB of log a file, names being long: enough for two trims.
  const int files = 450;
  for (int i = 2; i < files + 2; ++i)
    WriteFile(src + "/C_new_i" + std::to_string(i) + std::string(200, 'n') + ".spi", "i");

  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_FALSE(r.hadErrors);
  const auto volume = std::find(r.lines.begin(), r.lines.end(), "Processing Volume C ....");
  ASSERT_NE(volume, r.lines.end());
  const std::vector<std::string> head(r.lines.begin(), volume);
  ASSERT_THAT(head, ::testing::Contains("Disk ID Check: OK"));

  const std::vector<TReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 2u);
  std::string log;
  for (const auto& part : ParseMailWithPython(mails[1].raw).parts)
    if (part.fileName == ExtractFileName(logPath)) log = part.payload;
  ASSERT_FALSE(log.empty());
  std::vector<std::string> lines;
  for (size_t pos = 0, e; (e = log.find("\r\n", pos)) != std::string::npos; pos = e + 2) {
    const std::string line = log.substr(pos, e - pos);
    lines.push_back(line.substr(line.find('\t', line.find('\t') + 1) + 1));
  }
  ASSERT_GT(lines.size(), head.size() + 2);
  EXPECT_EQ(lines[0], "Log file created");
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 1 + static_cast<long>(head.size())),
            head);
  const std::string leftOut = lines[head.size() + 1];
  ASSERT_THAT(leftOut, ::testing::EndsWith(" lines left out here to keep the log below 240 KiB"));
  // Every line up to the report is in the mail or counted, and the mail's lines end the same way.
  const auto last = std::find(r.lines.begin(), r.lines.end(), "Checking to see if any alerts to send.");
  ASSERT_NE(last, r.lines.end());
  EXPECT_EQ(lines.back(), *last);
  const size_t written = 1 + static_cast<size_t>(last - r.lines.begin()) + 1;
  EXPECT_EQ(std::stoul(leftOut) + lines.size() - 1, written);
  EXPECT_TRUE(std::equal(lines.begin() + static_cast<long>(head.size()) + 2, lines.end(),
                         last + 1 - static_cast<long>(lines.size() - head.size() - 2)));
}

}  // namespace
}  // namespace tavik::test
