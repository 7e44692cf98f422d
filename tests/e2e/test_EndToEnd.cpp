// The built program run as a scheduler runs it ("-h", "-P"), each time in a fresh folder of its
// own: a copy of the program with its job file beside it, the all-users and per-user folders, a
// source of image chains and a backup disk, and a real aiosmtpd on loopback for the mails. What
// counts is what a user would see: the disk's files, the run log, the mails and the exit status.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "QorvLib/uQorvCrypt.h"
#include "QorvLib/uQorvFiles.h"
#include "core/uVersion.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"
#include "platform/uIniFile.h"
#include "platform/uSystem.h"
#include "run/uRunLock.h"
#include "tests/history/test_MonitoringSink.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/Schedule.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

namespace fs = std::filesystem;
using test::LogMessages;
using test::TAioSmtpServer;
using test::TScriptedSmtpServer;
using test::TSmtpReply;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

const char* const ProgramName = "TavikBackupCopy";
// Long enough for the slowest run here (the mail time-out of 30 s) under the sanitizers too.
const int RunTimeoutSeconds = 60;
const std::string Footer =
    std::string("<br />Sent by TavikBackupCopy ") + ProgramVersion + " on " + HostComputerName() + ".";
const std::string AlertsLine = "Checking to see if any alerts to send.";
const std::string IdWarning = "*** DO NOT DELETE UNLESS YOU WANT TO CHANGE THE DISK LABEL ***";

using TRun = test::TProgramRun;

// One mail as the server got it.
struct TMail {
  std::vector<std::string> to;
  std::string subject;
  std::string body;    // the HTML part without the line ends composition put after it
  std::string tables;  // the run history's tables, which body then goes without
  std::string attachmentName;
  std::string attachment;
};

std::vector<TMail> Received(const TAioSmtpServer& server) {
  std::vector<TMail> mails;
  for (const test::TReceivedMail& raw : server.Messages()) {
    const test::TParsedMail parsed = test::ParseMailWithPython(raw.raw);
    TMail mail;
    mail.to = raw.rcptTos;
    mail.subject = parsed.Header("Subject");
    for (const auto& part : parsed.parts) {
      if (!part.fileName.empty()) {
        mail.attachmentName = part.fileName;
        mail.attachment = part.payload;
      } else if (part.contentType == "text/html") {
        // The body breaks its lines after every <br />; the text is what it was.
        for (char c : part.payload)
          if (c != '\n' && c != '\r') mail.body += c;
      }
    }
    const size_t from = mail.body.find("<br /><br /><b>");
    const size_t to = mail.body.rfind("</table>");
    if (from != std::string::npos && to != std::string::npos && to > from) {
      mail.tables = mail.body.substr(from, to + 8 - from);
      mail.body.erase(from, to + 8 - from);
    }
    mails.push_back(std::move(mail));
  }
  return mails;
}

std::vector<std::string> Subjects(const std::vector<TMail>& mails) {
  std::vector<std::string> subjects;
  for (const TMail& m : mails) subjects.push_back(m.subject);
  return subjects;
}

// The log as it stood when the report began: up to and including the line that opens it.
std::string LogUpToAlerts(const std::string& log) {
  const size_t at = log.find("\t" + AlertsLine + "\r\n");
  return at == std::string::npos ? "<no alerts line>" : log.substr(0, at + AlertsLine.size() + 3);
}

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0;
  return n;
}

// Every file below a folder, by its path relative to it, with its content.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    // The disk's manifests must pass sha256sum -c; the images are what the tests compare.
    if (e.path().filename() == "SHA256SUMS") {
      test::ImageNames(e.path().parent_path().string());
      continue;
    }
    files[fs::relative(e.path(), root).string()] = test::ReadFile(e.path().string());
  }
  return files;
}

// Bytes that tell one file from another and show any shift or cut.
std::string Content(const std::string& seed, size_t size) {
  std::string bytes(size, '\0');
  uint32_t x = 2166136261u;
  for (char c : seed) x = (x ^ static_cast<unsigned char>(c)) * 16777619u;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

// A file of binary garbage as a broken disk or editor might leave a settings file.
std::string Garbage() {
  std::string g = Content("garbage", 3000);
  g += std::string("\0\0=\r\n[\xff\xfe]\n=\x01\x02", 13);
  return g;
}

const long long Day1 = 1796090400;  // 2026-12-01, early morning
long long Day(int n) {
  return Day1 + (n - 1) * 86400LL;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"bin", "work", "source/vol1", "source/vol2", "disk"})
      fs::create_directories(root / d);
    program = root / "bin/" + ProgramName;
    fs::copy_file(TAVIK_PROGRAM, program);
    logFolder = env.ProgramData() + "/qorv/TavikShadowCopy/";
    logFile = logFolder + ProgramName + "-Log-" + LocalUserName() + "-" + LocalComputerName() + ".log";
  }

  std::string Src(int vol, const std::string& name) const {
    return root / ("source/vol" + std::to_string(vol)) + "/" + name;
  }
  std::string Dest(int vol) const { return root / ("disk/vol" + std::to_string(vol)); }
  std::string Disk() const { return root / "disk"; }
  std::string JobFile() const { return program + ".ini"; }
  std::string Log() const { return test::ReadFile(logFile); }

  void Image(int vol, const std::string& name, size_t size, long long mtime) {
    test::WriteFile(Src(vol, name), Content(name, size));
    test::SetMTime(Src(vol, name), mtime);
  }

  // Two chains of the first volume, the newer one to be carried, and one of the second.
  void TwoVolumes() {
    Image(1, "SRV_C_VOL-b001.spf", 90000, Day(1));
    Image(1, "SRV_C_VOL-b001-i001.spi", 7000, Day(2));
    Image(1, "SRV_C_VOL-b002.spf", 150000, Day(5));
    Image(1, "SRV_C_VOL-b002.md5", 40, Day(5));
    Image(1, "SRV_C_VOL-b002-i001.spi", 9000, Day(6));
    Image(1, "SRV_C_VOL-b002-i002.spi", 11000, Day(7));
    Image(2, "SRV_D_VOL-b001.spf", 120000, Day(3));
    Image(2, "SRV_D_VOL-b001-i001.spi", 5000, Day(4));
    WriteJob("IDPath=" + Disk() + "\nSource=" + root / "source/vol1" + "," + root / "source/vol2" +
             "\nDestination=" + Dest(1) + "," + Dest(2) + "\nVolume=SRV_C_VOL,SRV_D_VOL\n");
  }

  // The disk is a folder of the test's, and the images are dated days back: both on purpose.
  void WriteJob(const std::string& mainSection) {
    test::WriteFile(JobFile(), "[Main]\nSystemDiskAllowed=1\nMaxImageAgeHours=0\n" + mainSection);
  }

  // What the disk must hold for the given source files (volume, name), byte for byte.
  void ExpectDiskHolds(const std::vector<std::pair<int, std::string>>& images) {
    std::map<std::string, std::string> expected;
    for (const auto& [vol, name] : images)
      expected["vol" + std::to_string(vol) + "/" + name] = test::ReadFile(Src(vol, name));
    std::map<std::string, std::string> disk = Tree(Disk());
    disk.erase("ID.txt");
    EXPECT_EQ(disk.size(), expected.size());
    for (const auto& [name, bytes] : expected) {
      ASSERT_TRUE(disk.count(name)) << name << " is not on the disk";
      EXPECT_TRUE(disk[name] == bytes) << name << " differs from its source";
    }
    for (const auto& [name, bytes] : disk)
      EXPECT_TRUE(expected.count(name)) << name << " should not be on the disk";
  }
  void ExpectNewestChainsOnDisk() {
    ExpectDiskHolds({{1, "SRV_C_VOL-b002.spf"},
                     {1, "SRV_C_VOL-b002.md5"},
                     {1, "SRV_C_VOL-b002-i001.spi"},
                     {1, "SRV_C_VOL-b002-i002.spi"},
                     {2, "SRV_D_VOL-b001.spf"},
                     {2, "SRV_D_VOL-b001-i001.spi"}});
  }

  // The lines of one volume carried onto a destination that does not exist yet: its full
  // image, then the rest of its chain in the order given.
  std::vector<std::string> FreshVolumeLines(int vol, const std::string& volume, const std::string& chain,
                                            const std::vector<std::string>& rest) const {
    const std::string s = root / ("source/vol" + std::to_string(vol)), d = Dest(vol),
                      full = s + "/" + chain + ".spf";
    std::vector<std::string> lines = {
        "Processing Volume " + volume + " ....",
        "Latest .spf file " + volume + " ....",
        "Latest .spf file " + full + " found in " + s,
        "Checking destination folders full backups. 0 full backups to check.",
        "Copy latest full backup.",
        "File copying " + full + " to " + d,
        "File copied " + full + " to " + d,
        "Searching for .spi and .md5 files in " + d,
        "Checking destination for old incrementals to remove. 0 increments to check.",
        "Searching for new incrementals",
        "Found a possible " +
            std::to_string(std::count_if(rest.begin(), rest.end(),
                                         [](const std::string& n) { return n.ends_with(".spi"); })) +
            " incrementals to copy. Copying ones that do not exist."};
    for (const std::string& name : rest)
      for (const char* what : {"File copying ", "File copied "})
        lines.push_back(what + s + "/" + name + " to " + d + "/");
    lines.push_back("Completed Sucessfully");
    return lines;
  }

  // The settings as the dialog would save them: the same disk every day and every day checked,
  // so what the run does never depends on today's weekday.
  void SaveNotifications(int port, const std::string& diskId = "DiskA") {
    TNotifier n;
    n.SMTPServer = "127.0.0.1";
    n.SMTPPort = port;
    n.SMTPFrom = "backup@example.org";
    n.SiteID = "S01";
    n.SiteDescription = "Office";
    n.CreateDestFolder = true;
    test::ScheduleEveryDay(n, diskId);
    n.DiskChangeEmails = "disks@example.org";
    n.ErrorEmails = "errors@example.org, admin@example.org";
    n.BackupCompleteEmails = "office@example.org";
    n.LogEmails = "log@example.org";
    SaveSettings(n);
  }

  void Label(const std::string& id) {
    test::WriteFile(Disk() + "/ID.txt", id + "\r\n01/12/2026 02:00:00\r\n" + IdWarning + "\r\n");
  }

  // Runs the program as a scheduler would and waits for it to end by itself; one that does not
  // within the time-out is killed and fails the test.
  TRun Run(const std::string& sw) {
    // HOME, XDG_DATA_HOME and PROGRAMDATA come sealed from the fixture; Qt's runtime folder
    // and platform are set here, so nothing lands outside the test's folder.
    const std::string runtime = root / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    test::TProgramLaunch launch;
    launch.program = program;
    launch.args = {sw};
    launch.workDir = root / "work";
    launch.outPrefix = root / ("output-" + std::to_string(++runs_));
    launch.env = {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", runtime}};
    launch.timeoutSeconds = RunTimeoutSeconds;
    return test::RunProgram(launch);
  }

  test::TSealedEnv env;
  test::TTempDir root;
  std::string program;
  std::string logFolder;
  std::string logFile;

 private:
  int runs_ = 0;
};

TEST_F(EndToEnd, FirstRunOntoAnEmptyDiskCarriesTheNewestChainsLabelsTheDiskAndMails) {
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();

  const TRun run = Run("-h");

  EXPECT_EQ(run.status, 0) << run.output;
  ExpectNewestChainsOnDisk();
  for (const char* name : {"SRV_C_VOL-b002.spf", "SRV_C_VOL-b002-i002.spi"})
    EXPECT_EQ(fs::last_write_time(Dest(1) + "/" + name), fs::last_write_time(Src(1, name))) << name;
  const std::string id = test::ReadFile(Disk() + "/ID.txt");
  EXPECT_THAT(id, StartsWith("DiskA\r\n"));
  EXPECT_THAT(id, ::testing::EndsWith("\r\n" + IdWarning + "\r\n"));

  const std::string log = Log();
  std::vector<::testing::Matcher<std::string>> want = {
      "Log file created", MatchesRegex("Start: [0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}"), "Disk ID "};
  for (const std::string& line :
       FreshVolumeLines(1, "SRV_C_VOL", "SRV_C_VOL-b002",
                        {"SRV_C_VOL-b002-i001.spi", "SRV_C_VOL-b002-i002.spi", "SRV_C_VOL-b002.md5"}))
    want.push_back(line);
  for (const std::string& line :
       FreshVolumeLines(2, "SRV_D_VOL", "SRV_D_VOL-b001", {"SRV_D_VOL-b001-i001.spi"}))
    want.push_back(line);
  want.insert(want.end(),
              {MatchesRegex("End: [0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}"),
               MatchesRegex("Total Backup Time: 00:0[0-9]:[0-9]{2}"), AlertsLine, "*** Done ***"});
  EXPECT_THAT(LogMessages(log), ElementsAreArray(want));

  // A disk labelled just now has no next disk to name.
  const std::vector<TMail> mails = Received(server);
  ASSERT_THAT(Subjects(mails),
              ElementsAre("[S01:Office] Backup Completed. Time to change disk.", "[S01:Office] Backup Log"));
  EXPECT_THAT(mails[0].to, ElementsAre("office@example.org"));
  EXPECT_EQ(mails[0].body, "Your backup has completed. Please take the time now to change the disk");
  // After the notice: what each volume copied and what the disk now holds.
  EXPECT_THAT(mails[0].tables, ::testing::AllOf(HasSubstr("<td>SRV_C_VOL</td><td>SRV_C_VOL-b002</td>"),
                                                HasSubstr("<td>SRV_D_VOL</td><td>SRV_D_VOL-b001</td>"),
                                                HasSubstr("<td>DiskA</td>")));
  EXPECT_EQ(mails[1].tables, mails[0].tables);
  EXPECT_THAT(mails[0].attachmentName, IsEmpty());
  EXPECT_THAT(mails[1].to, ElementsAre("log@example.org"));
  EXPECT_EQ(mails[1].body, "Please see attached backup log.<br /><br /><br /><br /><br /><br />" + Footer);
  EXPECT_EQ(mails[1].attachmentName, fs::path(logFile).filename().string());
  EXPECT_TRUE(mails[1].attachment == LogUpToAlerts(log)) << mails[1].attachment;
}

// The imaging stopped five weeks ago: the chains are still carried, but no night says all is well.
TEST_F(EndToEnd, StaleImagesAreAnErrorAndStillCarried) {
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();
  // Every image moved back together, the newest of all (the first volume's) to five weeks ago.
  const long long back = static_cast<long long>(::time(nullptr)) - 35 * 86400LL - Day(7);
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(root / "source")) {
    struct stat st {};
    if (e.is_regular_file() && ::stat(e.path().c_str(), &st) == 0)
      test::SetMTime(e.path().string(), static_cast<long long>(st.st_mtime) + back);
  }
  const std::string job = test::ReadFile(JobFile());
  test::WriteFile(JobFile(), std::regex_replace(job, std::regex("MaxImageAgeHours=0\n"), ""));
  Label("DiskA");

  const TRun run = Run("-h");

  EXPECT_EQ(run.status, 1) << run.output;
  ExpectNewestChainsOnDisk();
  const std::vector<std::string> lines = LogMessages(Log());
  // The second volume's newest image is its incremental of day 4, three days older.
  for (const auto& [volume, vol, hours] : {std::tuple{"SRV_C_VOL", 1, 840}, std::tuple{"SRV_D_VOL", 2, 912}})
    EXPECT_EQ(Count(lines, std::string("Newest image of ") + volume + " in " + root / "source/vol" +
                               std::to_string(vol) + " is " + std::to_string(hours) +
                               " hours old (limit 48): is the imaging still running?"),
              1)
        << volume;
  const std::vector<TMail> mails = Received(server);
  ASSERT_THAT(Subjects(mails), ElementsAre("[S01:Office] Backup Errors", "[S01:Office] Backup Log"));
  EXPECT_THAT(mails[0].body,
              HasSubstr("Newest image of SRV_C_VOL in " + root / "source/vol1" + " is 840 hours old"));

  // Switched off, the same chains are all is well again.
  test::WriteFile(JobFile(), job);
  const TRun off = Run("-h");
  EXPECT_EQ(off.status, 0) << off.output;
}

TEST_F(EndToEnd, NewerChainReplacesTheOlderOneAndNothingIsCopiedTwice) {
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();
  ASSERT_EQ(Run("-h").status, 0);
  // A copy on the disk of its source's size but other bytes shows whether the run copied it again
  // (one of another size is copied again, as a cut-short copy must be).
  const std::string planted(fs::file_size(Src(2, "SRV_D_VOL-b001-i001.spi")), 'x');
  test::WriteFile(Dest(2) + "/SRV_D_VOL-b001-i001.spi", planted);
  // Planted bytes are no copy the run made: their entry goes, as on a disk from before.
  std::string sums;
  std::istringstream in(test::ReadFile(Dest(2) + "/SHA256SUMS"));
  for (std::string line; std::getline(in, line);)
    if (line.find("i001.spi") == std::string::npos) sums += line + "\n";
  test::WriteFile(Dest(2) + "/SHA256SUMS", sums);
  Image(1, "SRV_C_VOL-b003.spf", 160000, Day(8));
  Image(1, "SRV_C_VOL-b003-i001.spi", 8000, Day(9));
  Image(2, "SRV_D_VOL-b001-i002.spi", 6000, Day(9));

  const TRun run = Run("-h");

  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Tree(Disk())["vol2/SRV_D_VOL-b001-i001.spi"] == planted);
  // The source now matches that copy so the rest of the disk is compared as usual.
  test::WriteFile(Src(2, "SRV_D_VOL-b001-i001.spi"), planted);
  ExpectDiskHolds({{1, "SRV_C_VOL-b003.spf"},
                   {1, "SRV_C_VOL-b003-i001.spi"},
                   {2, "SRV_D_VOL-b001.spf"},
                   {2, "SRV_D_VOL-b001-i001.spi"},
                   {2, "SRV_D_VOL-b001-i002.spi"}});

  const std::vector<std::string> lines = LogMessages(Log());
  const std::string s1 = root / "source/vol1", d1 = Dest(1);
  std::vector<std::string> copies, deletions;
  for (const std::string& l : lines) {
    if (l.rfind("File copying ", 0) == 0) copies.push_back(l);
    if (l.rfind("File delet", 0) == 0 || l.rfind("Delete file ", 0) == 0) deletions.push_back(l);
  }
  EXPECT_THAT(copies,
              ElementsAre("File copying " + s1 + "/SRV_C_VOL-b003.spf to " + d1,
                          "File copying " + s1 + "/SRV_C_VOL-b003-i001.spi to " + d1 + "/",
                          "File copying " + Src(2, "SRV_D_VOL-b001-i002.spi") + " to " + Dest(2) + "/"));
  // Listing order is the file system's, so the incrementals' deletions are compared as a set.
  ASSERT_EQ(deletions.size(), 8u);
  EXPECT_EQ(deletions[0], "File deleting " + d1 + "/SRV_C_VOL-b002.spf");
  EXPECT_EQ(deletions[1], "File deleted " + d1 + "/SRV_C_VOL-b002.spf");
  std::vector<std::string> sweep(deletions.begin() + 2, deletions.end());
  std::sort(sweep.begin(), sweep.end());
  std::vector<std::string> expectedSweep;
  for (const char* name : {"SRV_C_VOL-b002-i001.spi", "SRV_C_VOL-b002-i002.spi", "SRV_C_VOL-b002.md5"})
    for (const char* what : {"Delete file ", "File deleted "})
      expectedSweep.push_back(what + d1 + "/" + name);
  std::sort(expectedSweep.begin(), expectedSweep.end());
  EXPECT_EQ(sweep, expectedSweep);
  // The disk labelled by the first run is today's.
  EXPECT_THAT(lines, ::testing::IsSupersetOf({"Checking Disk ID", "Disk ID Check: OK", "Next Disk is: DiskA",
                                              "Disk ID DiskA", "*** Done ***"}));

  const std::vector<TMail> mails = Received(server);
  ASSERT_EQ(mails.size(), 4u);
  EXPECT_EQ(mails[2].subject, "[S01:Office] Backup Completed. Time to change disk.");
  EXPECT_EQ(
      mails[2].body,
      "Your backup has completed. Please take the time now to change the disk<br />Disk to insert should "
      "be labelled: DiskA<br />");
  EXPECT_EQ(mails[3].subject, "[S01:Office] Backup Log");
}

TEST_F(EndToEnd, WrongDiskIsBackedUpAndAlertedWithItsIds) {
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();
  Label("DiskB");
  const std::string label = test::ReadFile(Disk() + "/ID.txt");

  const TRun run = Run("-h");

  // A wrong disk is no error line: the run goes on, and only its status tells a scheduler.
  EXPECT_EQ(run.status, 3) << run.output;
  ExpectNewestChainsOnDisk();
  EXPECT_EQ(test::ReadFile(Disk() + "/ID.txt"), label);
  const std::string log = Log();
  const std::vector<std::string> lines = LogMessages(log);
  ASSERT_GE(lines.size(), 7u);
  EXPECT_THAT(std::vector<std::string>(lines.begin() + 2, lines.begin() + 7),
              ElementsAre("Checking Disk ID", "Disk ID INCORRRECT: ID = DiskB, Should be: DiskA",
                          "Next Disk is: DiskA", "Disk ID DiskB", "Processing Volume SRV_C_VOL ...."));
  EXPECT_EQ(lines.back(), "*** Done ***");

  const std::vector<TMail> mails = Received(server);
  ASSERT_THAT(Subjects(mails),
              ElementsAre("[S01:Office] Disk Change Error",
                          "[S01:Office] Backup Completed. Time to change disk.", "[S01:Office] Backup Log"));
  EXPECT_THAT(mails[0].to, ElementsAre("disks@example.org"));
  EXPECT_EQ(mails[0].body,
            "Incorrect backup disk found in drive.<br /><br /> ID = DiskB, Should be: DiskA<br />Next disk = "
            "DiskA" +
                Footer);
  EXPECT_THAT(mails[1].to, ElementsAre("office@example.org"));
  EXPECT_EQ(
      mails[1].body,
      "Your backup has completed. Please take the time now to change the disk<br />Disk to insert should "
      "be labelled: DiskA<br />");
  EXPECT_TRUE(mails[2].attachment == LogUpToAlerts(log));
}

struct TPreCheckCase {
  const char* name;
  const char* diskId;
  bool serverUp;  // false: nothing listens at the configured port
  int status;
  std::vector<std::string> subjects;
};

void PrintTo(const TPreCheckCase& c, std::ostream* os) {
  *os << c.name;
}

class PreCheck : public EndToEnd, public ::testing::WithParamInterface<TPreCheckCase> {};

TEST_P(PreCheck, WarnsOnceAboutAWrongDiskAndTouchesNothing) {
  const TPreCheckCase& c = GetParam();
  TAioSmtpServer server;
  server.Start();
  int port = server.Port();
  if (!c.serverUp) {
    TScriptedSmtpServer probe({});
    probe.Start();
    port = probe.Port();
  }
  SaveNotifications(port);
  TwoVolumes();
  Label(c.diskId);
  const auto before = Tree(Disk());

  const TRun run = Run("-P");

  EXPECT_EQ(run.status, c.status) << run.output;
  EXPECT_EQ(Tree(Disk()), before);
  EXPECT_FALSE(fs::exists(logFile)) << "the pre-check writes no log lines";
  const std::vector<TMail> mails = Received(server);
  ASSERT_EQ(Subjects(mails), c.subjects);
  if (!mails.empty()) {
    EXPECT_THAT(mails[0].to, ElementsAre("office@example.org"));
    EXPECT_EQ(
        mails[0].body,
        "Backup precheck has detected you currently have the wrong disk plugged in. Please take the time "
        "now to change disks<br />Disk to insert should be labelled: DiskA<br />");
    EXPECT_THAT(mails[0].attachmentName, IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Disks, PreCheck,
    ::testing::Values(TPreCheckCase{"WrongDisk",
                                    "DiskB",
                                    true,
                                    3,
                                    {"[S01:Office] Warning incorrect disk found. Please insert DiskA."}},
                      TPreCheckCase{"RightDiskInOtherCase", "diska", true, 0, {}},
                      TPreCheckCase{"WrongDiskServerDown", "DiskB", false, 1, {}}),
    [](const auto& info) { return std::string(info.param.name); });

enum class TBreakage { GarbageJobFile, GarbageNotificationFile, UnreadableValues };

struct TBrokenCase {
  const char* name;
  TBreakage breakage;
  int status;
  std::vector<std::string> subjects;
  bool backedUp;  // the first volume's newest chain reaches the disk
};

void PrintTo(const TBrokenCase& c, std::ostream* os) {
  *os << c.name;
}

class BrokenSettings : public EndToEnd, public ::testing::WithParamInterface<TBrokenCase> {};

TEST_P(BrokenSettings, RunStillEndsByItself) {
  const TBrokenCase& c = GetParam();
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();
  switch (c.breakage) {
    case TBreakage::GarbageJobFile:
      test::WriteFile(JobFile(), Garbage());
      break;
    case TBreakage::GarbageNotificationFile:
      test::WriteFile(SettingsFileName(), Garbage());
      break;
    case TBreakage::UnreadableValues:
      // Flags and numbers nobody can read fall back to their defaults; the job file has CR LF
      // line ends, blanks and quotes round its values, a line of junk, and a trailing comma
      // that adds a source that is not there.
      for (const char* key : {"IDDisk", "IDDiskSun", "IDDiskMon", "IDDiskSat"})
        WriteProfileString(SettingsFileName(), "Notifications", key, "yes please");
      WriteProfileString(SettingsFileName(), "Settings", "CreateDestFolder", "0x");
      WriteProfileString(SettingsFileName(), "Email Settings", "SMTPRequiresLogon", "\x01\xff");
      WriteJob("IDPath = \"" + Disk() + "\"\r\nSource=\"" + root / "source/vol1" + "\" ,\r\n" +
               "Destination='" + Dest(1) + "'\r\nVolume= SRV_C_VOL \r\n" + std::string("\0\xff\r\n", 4));
      break;
  }

  const TRun run = Run("-h");

  EXPECT_EQ(run.status, c.status) << run.output;
  const std::string log = Log();
  const std::vector<std::string> lines = LogMessages(log);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "*** Done ***");
  EXPECT_EQ(Count(lines, "Error: "), 0) << log;
  EXPECT_EQ(Subjects(Received(server)), c.subjects);
  const std::map<std::string, std::string> disk = Tree(Disk());
  if (c.backedUp) {
    ASSERT_TRUE(disk.count("vol1/SRV_C_VOL-b002-i002.spi"));
    EXPECT_TRUE(disk.at("vol1/SRV_C_VOL-b002-i002.spi") == test::ReadFile(Src(1, "SRV_C_VOL-b002-i002.spi")));
    EXPECT_TRUE(disk.count("ID.txt"));
  } else {
    // A job without IDPath has no disk to label: the working folder is not one.
    EXPECT_THAT(disk, IsEmpty());
    EXPECT_TRUE(fs::is_empty(root / "work"));
    EXPECT_EQ(Count(lines, "IDPath is not set in " + JobFile()), 1);
  }
  if (c.breakage == TBreakage::UnreadableValues) {
    EXPECT_THAT(lines, ::testing::Contains("Source Directory  not found"));
    const std::vector<TMail> mails = Received(server);
    ASSERT_FALSE(mails.empty());
    EXPECT_THAT(mails[0].to, ElementsAre("errors@example.org", "admin@example.org"));
    EXPECT_EQ(mails[0].body,
              "Please see attached log file<br /><br />Source Directory  not found<br />" + Footer);
    EXPECT_TRUE(mails[0].attachment == LogUpToAlerts(log));
  }
}

const std::vector<std::string> ErrorRunMails = {"[S01:Office] Backup Errors", "[S01:Office] Backup Log"};

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenSettings,
    ::testing::Values(TBrokenCase{"GarbageJobFile", TBreakage::GarbageJobFile, 1, ErrorRunMails, false},
                      // Nothing left to say where to mail: the run ends without a mail.
                      TBrokenCase{"GarbageNotificationFile", TBreakage::GarbageNotificationFile, 0, {}, true},
                      TBrokenCase{"UnreadableValues", TBreakage::UnreadableValues, 1, ErrorRunMails, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, EachStartKeepsOnlyThePreviousLog) {
  // No mail account: these runs only log.
  TwoVolumes();
  std::vector<std::string> logs;
  for (int start = 1; start <= 3; ++start) {
    ASSERT_EQ(Run("-h").status, 0) << "start " << start;
    logs.push_back(Log());
  }

  const std::string old =
      logFolder + ProgramName + "-Log-" + LocalUserName() + "-" + LocalComputerName() + ".old";
  EXPECT_TRUE(test::ReadFile(old) == logs[1]);
  const std::vector<std::string> lines = LogMessages(Log());
  EXPECT_EQ(lines.front(), "Log file created");
  EXPECT_EQ(Count(lines, "Start: "), 1);
  EXPECT_EQ(Count(lines, "*** Done ***"), 1);
  EXPECT_EQ(Count(lines, "File copying "), 0) << "the third start found everything on the disk";
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(logFolder)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_THAT(left, ElementsAre(fs::path(logFile).filename().string(), fs::path(old).filename().string()));
}

TEST_F(EndToEnd, AStartWhileAnotherRunHoldsTheDiskLeavesDiskAndLogAlone) {
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();
  Label("DiskA");
  // The other run: its log is being written, and it holds the lock.
  test::WriteFile(logFile, "the other run's lines\r\n");
  TRunLock other;
  ASSERT_TRUE(other.TryAcquire());
  const auto diskBefore = Tree(Disk());

  const TRun run = Run("-h");

  EXPECT_EQ(run.status, 1);
  const std::string refusal =
      "Another backup run (process " + std::to_string(::getpid()) + ") is in progress";
  EXPECT_THAT(run.output, HasSubstr(refusal + "\n"));
  EXPECT_EQ(Tree(Disk()), diskBefore);
  EXPECT_EQ(Log(), "the other run's lines\r\n");
  EXPECT_FALSE(fs::exists(ChangeFileExt(logFile, ".old")));
  const std::vector<TMail> mails = Received(server);
  ASSERT_THAT(Subjects(mails), ElementsAre("[S01:Office] Backup Errors"));
  EXPECT_THAT(mails[0].to, ElementsAre("errors@example.org", "admin@example.org"));
  EXPECT_EQ(mails[0].body,
            "No backup was made: the run could not start.<br /><br />" + refusal + "<br />" + Footer);
  EXPECT_THAT(mails[0].attachmentName, IsEmpty());

  // Once the other run has ended, the next start runs as usual.
  other.Release();
  EXPECT_EQ(Run("-h").status, 0);
  ExpectNewestChainsOnDisk();
}

// A run log the program cannot write costs the backup nothing: it is said once, on standard error
// and in the error mail, the chains are still carried, and the exit status is 1.
TEST_F(EndToEnd, ARunLogThatCannotBeWrittenIsSaidOnceAndTheChainsAreStillCarried) {
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();
  Label("DiskA");
  fs::create_directories(logFile + "/taken");  // a folder holds the log's name

  const TRun run = Run("-h");

  EXPECT_EQ(run.status, 1) << run.output;
  ExpectNewestChainsOnDisk();
  const std::string said = "The run log could not be written: " + logFile + " is not a regular file";
  EXPECT_EQ(run.err, said + "\n");
  const std::vector<TMail> mails = Received(server);
  ASSERT_THAT(Subjects(mails), ElementsAre("[S01:Office] Backup Errors"));
  EXPECT_EQ(mails[0].body, "Please see attached log file<br /><br />" + said + "<br />" + Footer);
  EXPECT_THAT(mails[0].attachmentName, IsEmpty());
}

// When "IDPath" does not lead to the backup disk, or its identity file cannot be used, nothing is
// labelled, created or copied; the run still ends with its stamp, its report and exit 1.
// The places a case prepares: the backup disk's folder, the job file, the test's own folder.
struct TPlaces {
  std::string disk, job, root;
};

void ReplaceIDPath(const std::string& job, const std::string& line) {
  test::WriteFile(job, std::regex_replace(test::ReadFile(job), std::regex("IDPath=[^\n]*\n"), line));
}

struct TDiskCase {
  const char* name;
  std::function<void(const TPlaces&)> prepare;  // after the two volumes and their job
  std::function<std::string(const TPlaces&)> errorLine;
  bool volumesRun;            // only a missing "IDPath" leaves the volumes to run
  bool onSystemDisk = false;  // the case needs the test's folder on the root file system
};

// A folder left where the disk is mounted, and a job that never said a folder would do.
void StrayFolder(const TPlaces& p) {
  fs::create_directories(p.disk + "/tavik");
  ReplaceIDPath(p.job, "IDPath=" + p.disk + "/tavik\n");
  test::WriteFile(p.job, std::regex_replace(test::ReadFile(p.job), std::regex("SystemDiskAllowed=1\n"), ""));
}

void PrintTo(const TDiskCase& c, std::ostream* os) {
  *os << c.name;
}

class DiskNotReady : public EndToEnd, public ::testing::WithParamInterface<TDiskCase> {
 protected:
  void TearDown() override { ::unsetenv("TAVIK_FSTAB"); }
};

TEST_P(DiskNotReady, NothingIsLabelledCreatedOrCopied) {
  const TDiskCase& c = GetParam();
  struct stat folder {
  }, system{};
  if (c.onSystemDisk && (::stat(root.Path().c_str(), &folder) != 0 || ::stat("/", &system) != 0 ||
                         folder.st_dev != system.st_dev))
    GTEST_SKIP() << "the temporary folder is not on the root file system";
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();
  const TPlaces places{Disk(), JobFile(), root.Path()};
  c.prepare(places);
  const auto diskBefore = Tree(Disk());

  const TRun run = Run("-h");

  EXPECT_EQ(run.status, 1) << run.output;
  const std::vector<std::string> lines = LogMessages(Log());
  const std::string error = c.errorLine(places);
  EXPECT_EQ(Count(lines, error), 1) << Log();
  EXPECT_EQ(lines.back(), "*** Done ***");
  EXPECT_TRUE(fs::is_empty(root / "work")) << "nothing lands in the working folder";
  if (c.volumesRun) {
    ExpectNewestChainsOnDisk();
  } else {
    EXPECT_EQ(Count(lines, "Processing Volume "), 0);
    EXPECT_EQ(Tree(Disk()), diskBefore);
    EXPECT_FALSE(fs::exists(Dest(1)));
  }
  const std::vector<TMail> mails = Received(server);
  ASSERT_THAT(Subjects(mails), ElementsAre("[S01:Office] Backup Errors", "[S01:Office] Backup Log"));
  EXPECT_THAT(mails[0].body, HasSubstr(error + "<br />"));
}

INSTANTIATE_TEST_SUITE_P(
    IDPath, DiskNotReady,
    ::testing::Values(
        TDiskCase{"FolderMissing",
                  [](const TPlaces& p) { ReplaceIDPath(p.job, "IDPath=" + p.disk + "/tavik\n"); },
                  [](const TPlaces& p) { return "Backup disk not found at " + p.disk + "/tavik"; }, false},
        // The disk's presence is checked whether or not its identity is.
        TDiskCase{"FolderMissingWithoutTheIdentityCheck",
                  [](const TPlaces& p) {
                    ReplaceIDPath(p.job, "IDPath=" + p.disk + "/tavik\n");
                    WriteProfileString(SettingsFileName(), "Notifications", "IDDisk", "0");
                  },
                  [](const TPlaces& p) { return "Backup disk not found at " + p.disk + "/tavik"; }, false},
        TDiskCase{"MountPointWithNothingMounted",
                  [](const TPlaces& p) {
                    test::WriteFile(p.root + "/fstab",
                                    "# test table\nUUID=0000 " + p.disk + " ext4 defaults 0 2\n");
                    ::setenv("TAVIK_FSTAB", (p.root + "/fstab").c_str(), 1);
                  },
                  [](const TPlaces& p) { return "Backup disk not found at " + p.disk; }, false},
        // Nothing mounted and nothing in fstab to say so: the folder's own file system tells.
        TDiskCase{"StrayFolderOnTheSystemDisk", StrayFolder,
                  [](const TPlaces& p) {
                    return "Backup disk not found at " + p.disk +
                           "/tavik: it is on the system disk and holds no ID.txt";
                  },
                  false, true},
        TDiskCase{"StrayFolderBelowAMountPointOfFstab",
                  [](const TPlaces& p) {
                    StrayFolder(p);
                    test::WriteFile(p.root + "/fstab", "UUID=0000 " + p.disk + " ext4 defaults 0 2\n");
                    ::setenv("TAVIK_FSTAB", (p.root + "/fstab").c_str(), 1);
                  },
                  [](const TPlaces& p) { return "Backup disk not found at " + p.disk + "/tavik"; }, false},
        TDiskCase{"IdentityFileCannotBeWritten",
                  [](const TPlaces& p) { fs::create_directories(p.disk + "/ID.txt"); },
                  [](const TPlaces& p) {
                    return "Error: Cannot create " + p.disk + "/ID.txt: " + SysErrorMessage(EISDIR);
                  },
                  false},
        TDiskCase{"IDPathNotSet", [](const TPlaces& p) { ReplaceIDPath(p.job, ""); },
                  [](const TPlaces& p) { return "IDPath is not set in " + p.job; }, true}),
    [](const auto& info) { return std::string(info.param.name); });

// An identity file on a disk anyone may have held: never followed, never waited on, never read
// beyond 64 KiB; a refused file ends the run before the volumes and the pre-check without a mail.
struct TIdentityFileCase {
  const char* name;
  std::function<void(const std::string& idFile, const std::string& secret)> make;
  std::string reason;
  const char* verb = "Cannot read";
};

void PrintTo(const TIdentityFileCase& c, std::ostream* os) {
  *os << c.name;
}

class IdentityFileRefused : public EndToEnd, public ::testing::WithParamInterface<TIdentityFileCase> {};

TEST_P(IdentityFileRefused, ByTheRunAndThePreCheck) {
  const TIdentityFileCase& c = GetParam();
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();
  const std::string secret = root / "secret.txt", idFile = Disk() + "/ID.txt";
  test::WriteFile(secret, "TOPSECRET-LINE\r\n");
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
  c.make(idFile, secret);

  const TRun run = Run("-h");

  EXPECT_EQ(run.status, 1) << run.output;
  const std::string log = Log();
  const std::string error = std::string("Error: ") + c.verb + " " + idFile + ": " + c.reason;
  EXPECT_EQ(Count(LogMessages(log), error), 1) << log;
  EXPECT_EQ(Count(LogMessages(log), "Processing Volume "), 0);
  EXPECT_FALSE(fs::exists(Dest(1)));
  EXPECT_FALSE(fs::exists(root / "nowhere")) << "nothing was created through the link";
  EXPECT_EQ(log.find("TOPSECRET"), std::string::npos);
  const std::vector<TMail> mails = Received(server);
  ASSERT_THAT(Subjects(mails), ElementsAre("[S01:Office] Backup Errors", "[S01:Office] Backup Log"));
  for (const TMail& m : mails) EXPECT_EQ((m.body + m.attachment).find("TOPSECRET"), std::string::npos);

  const TRun check = Run("-P");
  EXPECT_EQ(check.status, 1) << check.output;
  EXPECT_EQ(Received(server).size(), 2u) << "the pre-check sends nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Files, IdentityFileRefused,
    ::testing::Values(TIdentityFileCase{"LinkToARootOnlyFile",
                                        [](const std::string& id, const std::string& secret) {
                                          fs::create_symlink(secret, id);
                                        },
                                        "it is a symbolic link, which is not followed"},
                      TIdentityFileCase{"DanglingLink",
                                        [](const std::string& id, const std::string&) {
                                          fs::create_symlink(
                                              fs::path(id).parent_path().parent_path() / "nowhere", id);
                                        },
                                        "it is a symbolic link, which is not followed", "Cannot create"},
                      TIdentityFileCase{
                          "Fifo",
                          [](const std::string& id, const std::string&) { ::mkfifo(id.c_str(), 0600); },
                          "not a regular file"},
                      TIdentityFileCase{"TenMegabytesWithoutALineBreak",
                                        [](const std::string& id, const std::string&) {
                                          test::WriteFile(id, std::string(10 << 20, 'D'));
                                        },
                                        "its first line is longer than 65536 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

// Only one case may wait out the program's 30 s mail time-out.
struct TDeadServerCase {
  const char* name;
  bool silent;  // accepts and never answers; else nothing listens
};

void PrintTo(const TDeadServerCase& c, std::ostream* os) {
  *os << c.name;
}

class DeadMailServer : public EndToEnd, public ::testing::WithParamInterface<TDeadServerCase> {};

TEST_P(DeadMailServer, RunEndsWithTheFailureLogged) {
  TScriptedSmtpServer server({TSmtpReply::Silence()});
  server.Start();
  const int port = server.Port();
  if (!GetParam().silent) server.Stop();
  SaveNotifications(port);
  TwoVolumes();
  Label("DiskA");

  const TRun run = Run("-h");

  EXPECT_EQ(run.status, 1) << run.output;
  ExpectNewestChainsOnDisk();
  const std::vector<std::string> lines = LogMessages(Log());
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], AlertsLine);
  EXPECT_THAT(lines[lines.size() - 2], StartsWith("Error: "));
  EXPECT_EQ(lines.back(), "*** Done ***");
  EXPECT_EQ(Count(lines, "Error: "), 1);
  // The first mail's failure ends the report: no second wait for the log copy.
  if (GetParam().silent) {
    EXPECT_EQ(server.Connections(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, DeadMailServer,
                         ::testing::Values(TDeadServerCase{"Unreachable", false},
                                           TDeadServerCase{"Silent", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --verify reads back what the disk's manifests list: a flipped byte is found, repaired from a
// source that still holds the bytes of its entry (the failure still counts and is mailed), and
// is FAILED, not repaired, once the source is gone. Each read-back is a result where monitoring
// looks: --status, the metrics, the verify ping, the mail with its log; a failure stands there
// until a read-back repairs it or a run copies the file again.
TEST_F(EndToEnd, VerifyFindsAFlippedByteRepairsItFromItsSourceAndMailsIt) {
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  test::THttpSink checks;
  const std::string metrics = root / "metrics/tavik.prom";
  fs::create_directories(root / "metrics");
  fs::permissions(root / "metrics", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                                        fs::perms::group_exec | fs::perms::others_exec);
  {
    TNotifier n;
    LoadSettings(n);
    n.MetricsFile = metrics;
    n.VerifyPingURL = checks.Url();
    SaveSettings(n);
  }
  TwoVolumes();
  ASSERT_EQ(Run("-h").status, 0);
  for (int vol : {1, 2}) {
    std::string output;
    EXPECT_TRUE(test::Sha256sumCheck(Dest(vol), &output)) << output;
  }
  const std::string bad = Dest(1) + "/SRV_C_VOL-b002-i001.spi";
  const std::string good = test::ReadFile(bad);
  auto flip = [&] {
    std::string bytes = good;
    bytes[4321] = static_cast<char>(bytes[4321] ^ 0x01);
    test::WriteFile(bad, bytes);
  };
  flip();
  const size_t mailsBefore = Received(server).size();

  // A night's run holds the disk: the read-back neither repairs nor rewrites anything under it.
  {
    TRunLock night;
    ASSERT_TRUE(night.TryAcquire());
    const std::string manifest = test::ReadFile(Dest(1) + "/SHA256SUMS"), flipped = test::ReadFile(bad);
    const TRun refused = Run("--verify");
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err,
                HasSubstr("Another backup run (process " + std::to_string(::getpid()) + ") is in progress"));
    EXPECT_TRUE(test::ReadFile(bad) == flipped);
    EXPECT_EQ(test::ReadFile(Dest(1) + "/SHA256SUMS"), manifest);
    EXPECT_EQ(Received(server).size(), mailsBefore);
  }

  TRun run = Run("--verify");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_THAT(run.out, HasSubstr(bad + ": FAILED\n"));
  EXPECT_THAT(run.out, HasSubstr("File repaired from its source: " + bad + "\n"));
  EXPECT_THAT(run.out, HasSubstr(Dest(2) + "/SRV_D_VOL-b001.spf: OK\n"));
  EXPECT_THAT(run.out, HasSubstr("6 files read back, 1 FAILED, 1 repaired from their source"));
  EXPECT_TRUE(test::ReadFile(bad) == good);
  EXPECT_THAT(Log(), HasSubstr(bad + ": FAILED"));
  std::vector<TMail> mails = Received(server);
  ASSERT_EQ(mails.size(), mailsBefore + 1);
  EXPECT_EQ(mails.back().to, (std::vector<std::string>{"errors@example.org", "admin@example.org"}));
  EXPECT_THAT(mails.back().body, HasSubstr("Read-back of disk DiskA: 6 files read back, 1 FAILED"));
  EXPECT_THAT(mails.back().body, HasSubstr(bad + ": repaired from its source"));
  EXPECT_THAT(mails.back().attachment, HasSubstr(bad + ": FAILED"));
  std::vector<test::THttpSink::TRequest> pings = checks.Requests();
  ASSERT_EQ(pings.size(), 2u);
  EXPECT_EQ(pings[0].path, "/ping/abc/start");
  EXPECT_EQ(pings[1].method, "POST");
  EXPECT_EQ(pings[1].path, "/ping/abc/1");
  EXPECT_THAT(pings[1].body, HasSubstr("1 repaired from their source"));

  // Repaired by the read-back itself: the failure is told, and cleared.
  TRun status = Run("--status");
  EXPECT_EQ(status.status, 0) << status.out;
  EXPECT_THAT(status.out, MatchesRegex("(.|\n)*DiskA .*verified [0-9/]+ [0-9:]+: 1 FAILED(.|\n)*"));
  EXPECT_THAT(status.out, HasSubstr(bad + ": repaired from its source"));
  run = Run("--verify");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_THAT(run.out, HasSubstr(bad + ": OK\n"));
  EXPECT_THAT(run.out, Not(HasSubstr("FAILED\n")));
  EXPECT_EQ(Received(server).size(), mailsBefore + 1);
  EXPECT_THAT(Run("--status").out, MatchesRegex("(.|\n)*DiskA .*verified [0-9/]+ [0-9:]+ OK(.|\n)*"));
  EXPECT_EQ(checks.Requests().back().path, "/ping/abc/0");

  // A source that no longer holds the bytes of the entry (the imaging product rewrote it) is no
  // source to repair from: the disk's copy stays as it is.
  flip();
  const std::string flipped = test::ReadFile(bad);
  test::WriteFile(Src(1, "SRV_C_VOL-b002-i001.spi"), Content("rewritten", good.size()));
  run = Run("--verify");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_THAT(run.out, HasSubstr(bad + ": FAILED\n"));
  EXPECT_THAT(run.out, HasSubstr(bad + ": NOT repaired: its source " + Src(1, "SRV_C_VOL-b002-i001.spi") +
                                 " no longer holds the bytes of its entry"));
  EXPECT_THAT(run.out, HasSubstr("6 files read back, 1 FAILED, 0 repaired from their source"));
  EXPECT_TRUE(test::ReadFile(bad) == flipped);
  const size_t mailsNow = Received(server).size();

  fs::remove(Src(1, "SRV_C_VOL-b002-i001.spi"));
  run = Run("--verify");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_THAT(run.out, HasSubstr(bad + ": FAILED\n"));
  EXPECT_THAT(run.out, Not(HasSubstr("repaired from its source: ")));
  EXPECT_THAT(test::ReadFile(Dest(1) + "/SHA256SUMS"), HasSubstr("  SRV_C_VOL-b002-i001.spi\n"));
  EXPECT_EQ(mailsNow, mailsBefore + 2);
  mails = Received(server);
  ASSERT_EQ(mails.size(), mailsBefore + 3);
  EXPECT_THAT(mails.back().body, HasSubstr(bad + ": NOT repaired: its source " +
                                           Src(1, "SRV_C_VOL-b002-i001.spi") + " is gone"));

  // Where monitoring looks, the failure stands: --status fails and names it, the metrics carry it.
  status = Run("--status");
  EXPECT_EQ(status.status, 1) << status.out;
  EXPECT_THAT(status.out, HasSubstr("1 FAILED, 0 repaired, exit status 1 (NOT cleared)"));
  std::map<std::string, double> samples = test::ParseWithPrometheus(metrics);
  EXPECT_EQ(samples["tavik_verify_failed_files{disk=DiskA}"], 1);
  EXPECT_EQ(samples["tavik_verify_repaired_files{disk=DiskA}"], 0);
  EXPECT_GT(samples["tavik_verify_last_timestamp_seconds{disk=DiskA}"], 1.7e9);
  EXPECT_GT(samples["tavik_volume_newest_image_timestamp_seconds{volume=SRV_C_VOL}"], 1.7e9);
  EXPECT_EQ(checks.Requests().back().path, "/ping/abc/1");

  // The source back as it was: the next night copies the file again, and the disk is clear.
  test::WriteFile(Src(1, "SRV_C_VOL-b002-i001.spi"), good);
  run = Run("-h");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_THAT(Log(), HasSubstr("Copied again after its failed read-back: " + bad));
  EXPECT_TRUE(test::ReadFile(bad) == good);
  status = Run("--status");
  EXPECT_EQ(status.status, 0) << status.out;
  EXPECT_THAT(status.out, HasSubstr(bad + ": copied again by a later run"));
  samples = test::ParseWithPrometheus(metrics);
  EXPECT_EQ(samples["tavik_verify_repaired_files{disk=DiskA}"], 1);
}

// A flipped byte nothing can vouch for (its source gone) must never pass as "0 FAILED": whatever
// became of the manifest, --verify fails and names what it could not check.
TEST_F(EndToEnd, VerifyFailsWhenAChainFileOrAManifestLineCannotBeChecked) {
  TwoVolumes();
  ASSERT_EQ(Run("-h").status, 0);
  const std::string manifest = Dest(1) + "/SHA256SUMS", saved = test::ReadFile(manifest);
  const std::string name = "SRV_C_VOL-b002-i001.spi", bad = Dest(1) + "/" + name;
  std::string bytes = test::ReadFile(bad);
  bytes[100] = static_cast<char>(bytes[100] ^ 0x01);
  test::WriteFile(bad, bytes);
  fs::remove(Src(1, name));
  const struct {
    const char* name;
    std::function<void()> damage;
    std::vector<std::string> said;
  } cases[] = {
      {"emptied",
       [&] { test::WriteFile(manifest, ""); },
       {manifest + ": FAILED it lists no file", bad + ": FAILED not checked, no entry and no source"}},
      {"deleted", [&] { fs::remove(manifest); }, {manifest + ": FAILED missing"}},
      {"garbled",
       [&] { test::WriteFile(manifest, "garbage\n"); },
       {manifest + ": FAILED line 1: garbage cannot be used", manifest + ": FAILED it lists no file"}},
      {"leading out of the folder",
       [&] { test::WriteFile(manifest, saved + std::string(64, 'a') + "  ../SRV_C_VOL-b009.spf\n"); },
       {"cannot be used", bad + ": FAILED\n"}},
      {"a dangling link named like an incremental",
       [&] {
         test::WriteFile(manifest, saved);
         fs::create_symlink(root / "nowhere", Dest(1) + "/SRV_C_VOL-b002-i009.spi");
       },
       {Dest(1) + "/SRV_C_VOL-b002-i009.spi: FAILED not checked"}},
  };
  for (const auto& c : cases) {
    c.damage();
    const TRun run = Run("--verify");
    EXPECT_EQ(run.status, 1) << c.name << run.output;
    for (const std::string& s : c.said) EXPECT_THAT(run.out, HasSubstr(s)) << c.name;
    EXPECT_THAT(Log(), HasSubstr("FAILED")) << c.name;
  }
}

// Output to a file or a pipe is the scheduler's case: each line of --verify must leave the
// program as soon as it is known, not held back in a buffer until the end. Seen from outside as
// the system calls it makes: one write to standard output per line.
TEST_F(EndToEnd, VerifyWritesEachLineAsItIsKnownWhenOutputIsNoTerminal) {
  TwoVolumes();
  ASSERT_EQ(Run("-h").status, 0);
  const std::string trace = root / "verify.trace";
  test::TProgramLaunch launch;
  launch.program = "/usr/bin/strace";
  launch.args = {"-f", "-qq",         "-s", "4096", "-e",    "trace=write",
                 "-e", "signal=none", "-o", trace,  program, "--verify"};
  launch.workDir = root / "work";
  launch.outPrefix = root / "traced";
  const TRun run = test::RunProgram(launch);
  if (run.status != 0 && run.err.find("ptrace") != std::string::npos)
    GTEST_SKIP() << "strace may not trace here: " << run.err;
  ASSERT_EQ(run.status, 0) << run.output;
  std::istringstream lines(run.out);
  int printed = 0;
  for (std::string line; std::getline(lines, line);) ++printed;
  EXPECT_EQ(printed, 7) << run.out;  // six files and the summary
  int writes = 0;
  std::istringstream calls(test::ReadFile(trace));
  for (std::string call; std::getline(calls, call);)
    if (call.find("write(1, ") != std::string::npos) {
      ++writes;
      EXPECT_THAT(call, MatchesRegex(R"(.*write\(1, "[^"]*\\n", [0-9]+\) += [0-9]+)"))
          << "one line per write";
    }
  EXPECT_EQ(writes, printed);
}

// A disk written before the manifests: the run names its files without an entry, and --verify
// enters those whose source matches and names the one whose source differs.
TEST_F(EndToEnd, VerifyEntersTheFilesOfADiskFromBeforeWhoseSourceMatches) {
  TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  TwoVolumes();
  ASSERT_EQ(Run("-h").status, 0);
  for (int vol : {1, 2}) fs::remove(Dest(vol) + "/SHA256SUMS");
  const std::string changed = "SRV_D_VOL-b001-i001.spi";
  std::string bytes = test::ReadFile(Src(2, changed));
  bytes[10] = static_cast<char>(bytes[10] ^ 0x20);
  test::WriteFile(Src(2, changed), bytes);
  test::SetMTime(Src(2, changed), Day(4));

  TRun run = Run("-h");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_THAT(Log(), HasSubstr("2 files in " + Dest(2) + "/ without an entry in SHA256SUMS"));
  EXPECT_FALSE(fs::exists(Dest(2) + "/SHA256SUMS"));

  run = Run("--verify");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_THAT(run.out, HasSubstr(Dest(2) + "/" + changed + ": FAILED (differs from its source "));
  EXPECT_THAT(run.out, HasSubstr(Dest(2) + "/SRV_D_VOL-b001.spf: OK\n"));
  EXPECT_THAT(test::ReadFile(Dest(2) + "/SHA256SUMS"), Not(HasSubstr(changed)));
  EXPECT_THAT(test::ReadFile(Dest(1) + "/SHA256SUMS"), HasSubstr("  SRV_C_VOL-b002-i002.spi\n"));
  for (int vol : {1, 2}) {
    std::string output;
    EXPECT_TRUE(test::Sha256sumCheck(Dest(vol), &output)) << output;
  }
}

}  // namespace
}  // namespace tavik
