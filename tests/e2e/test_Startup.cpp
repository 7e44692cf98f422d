// The built program started as a new user, a scheduler or a service manager would start it: the
// answers that need no window, the refusal to open a window nobody can see, a stale display, a
// start through a symbolic link, a job file that is not there, and the journal's priorities.
#include <unistd.h>

#include <filesystem>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "QorvLib/uQorvFiles.h"
#include "notify/uNotifier.h"
#include "run/uRunLock.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

namespace fs = std::filesystem;
using test::LogMessages;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;

using TEnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

const char* const ProgramName = "TavikBackupCopy";
const TEnvChanges NoDisplay = {
    {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}};
// An X display nobody serves, as an "at" job started from an ssh session inherits it.
const TEnvChanges StaleDisplay = {
    {"DISPLAY", ":97"}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}};
const TEnvChanges Offscreen = {{"QT_QPA_PLATFORM", "offscreen"}};
const std::string CompletedMail = "[S01:Office] Backup Completed. Time to change disk.";
const std::string ErrorsMail = "[S01:Office] Backup Errors";
const std::string LogMail = "[S01:Office] Backup Log";

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"bin", "work", "source", "disk", "runtime", "tmp"})
      fs::create_directories(root / d);
    fs::permissions(root / "runtime", fs::perms::owner_all);
    program = root / "bin/" + ProgramName;
    fs::copy_file(TAVIK_PROGRAM, program);
    logFile = env.ProgramData() + "/qorv/TavikShadowCopy/" + ProgramName + "-Log-" + LocalUserName() + "-" +
              LocalComputerName() + ".log";
    // A labelled disk, so the pre-check has an identity to read.
    test::WriteFile(root / "disk/ID.txt", "DiskA\r\n01/12/2026 02:00:00\r\n");
    test::WriteFile(root / "source/SRV_C_VOL-b001.spf", "full image");
    test::WriteFile(root / "source/SRV_C_VOL-b001-i001.spi", "incremental");
    test::WriteFile(JobFile(), "[Main]\nSystemDiskAllowed=1\nMaxImageAgeHours=0\nIDPath=" + root / "disk" +
                                   "\nSource=" + root / "source" + "\nDestination=" + root / "disk/vol1" +
                                   "\nVolume=SRV_C_VOL\n");
  }

  std::string JobFile() const { return program + ".ini"; }
  bool BackedUp() const { return fs::exists(root / "disk/vol1/SRV_C_VOL-b001-i001.spi"); }

  void SaveNotifications(int port) {
    TNotifier n;
    n.SMTPServer = "127.0.0.1";
    n.SMTPPort = port;
    n.SMTPFrom = "backup@example.org";
    n.SiteID = "S01";
    n.SiteDescription = "Office";
    n.CreateDestFolder = true;
    n.ErrorEmails = "errors@example.org";
    n.BackupCompleteEmails = "office@example.org";
    n.LogEmails = "log@example.org";
    SaveSettings(n);
  }

  test::TProgramRun Run(const std::vector<std::string>& args, const TEnvChanges& changes,
                        const std::string& path = {}, bool journal = false) {
    test::TProgramLaunch launch;
    launch.program = path.empty() ? program : path;
    launch.args = args;
    launch.workDir = root / "work";
    launch.outPrefix = root / ("run-" + std::to_string(++runs_));
    // Temporary files, Qt's stand-in runtime folder among them, stay in the test's folder.
    launch.env = {{"XDG_RUNTIME_DIR", root / "runtime"}, {"TMPDIR", root / "tmp"}};
    launch.env.insert(launch.env.end(), changes.begin(), changes.end());
    launch.journalStderr = journal;
    return test::RunProgram(launch);
  }

  test::TSealedEnv env;
  test::TTempDir root;
  std::string program;
  std::string logFile;

 private:
  int runs_ = 0;
};

std::vector<std::string> Subjects(const test::TAioSmtpServer& server) {
  std::vector<std::string> subjects;
  for (const test::TReceivedMail& m : server.Messages()) {
    const size_t at = m.raw.find("\nSubject: ");
    subjects.push_back(at == std::string::npos ? "<none>"
                                               : m.raw.substr(at + 10, m.raw.find('\r', at) - at - 10));
  }
  return subjects;
}

enum class TLog {
  None,  // no run log is written
  Run,   // the run's log, ending with "*** Done ***"
  Kept,  // the log of a run before is left as it was, and no ".old" is made of it
};

struct TStartCase {
  const char* name;
  std::vector<std::string> args;
  TEnvChanges env = Offscreen;
  bool throughLink = false;  // started as <root>/usr-bin/tavik-backup, a link to the real program
  bool jobFile = true;
  bool runBefore = false;  // a "-h" run comes first
  int status = 0;
  ::testing::Matcher<std::string> out = IsEmpty();
  ::testing::Matcher<std::string> err = ::testing::_;
  TLog log = TLog::None;
  const char* logLine = "";  // a line the run log must hold; "@JOB@" stands for the job file
  bool backedUp = false;
  std::vector<std::string> mails = {};
};

void PrintTo(const TStartCase& c, std::ostream* os) {
  *os << c.name;
}

class StartCases : public Startup, public ::testing::WithParamInterface<TStartCase> {};

TEST_P(StartCases, ExitAsDocumented) {
  const TStartCase& c = GetParam();
  test::TAioSmtpServer server;
  server.Start();
  SaveNotifications(server.Port());
  if (!c.jobFile) fs::remove(JobFile());
  std::string path;
  if (c.throughLink) {
    // The link's own ".ini" is a trap: the job file follows the real program file.
    fs::create_directories(root / "usr-bin");
    path = root / "usr-bin/tavik-backup";
    fs::create_symlink(program, path);
    test::WriteFile(path + ".ini", "[Main]\nSource=" + root / "nowhere" + "\n");
  }
  std::string logBefore;
  if (c.runBefore) {
    ASSERT_EQ(Run({"-h"}, Offscreen).status, 0);
    logBefore = test::ReadFile(logFile);
  }
  const size_t mailsBefore = server.Messages().size();

  const test::TProgramRun run = Run(c.args, c.env, path);

  EXPECT_EQ(run.status, c.status) << run.output;
  EXPECT_THAT(run.out, c.out);
  EXPECT_THAT(run.err, c.err);
  EXPECT_LT(run.seconds, 5.0 + (c.log == TLog::Run ? 30 : 0));
  EXPECT_EQ(BackedUp(), c.backedUp);
  switch (c.log) {
    case TLog::None:
      EXPECT_FALSE(fs::exists(logFile));
      break;
    case TLog::Run: {
      const std::vector<std::string> lines = LogMessages(test::ReadFile(logFile));
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back(), "*** Done ***");
      if (*c.logLine) {
        std::string want = c.logLine;
        want.replace(want.find("@JOB@"), 5, JobFile());
        EXPECT_THAT(lines, ::testing::Contains(want));
      }
      break;
    }
    case TLog::Kept:
      EXPECT_TRUE(test::ReadFile(logFile) == logBefore) << "the run's log was changed";
      EXPECT_FALSE(fs::exists(ChangeFileExt(logFile, ".old")));
      break;
  }
  std::vector<std::string> subjects = Subjects(server);
  subjects.erase(subjects.begin(), subjects.begin() + static_cast<long>(mailsBefore));
  EXPECT_EQ(subjects, c.mails);
  // Without a job nothing may be labelled, on the disk or in the working folder.
  if (!c.jobFile) {
    EXPECT_FALSE(fs::exists(root / "work/ID.txt"));
  }
}

const std::vector<std::string> CleanRunMails = {CompletedMail, LogMail};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Program, StartCases, ::testing::Values(
    TStartCase{.name = "Help", .args = {"--help"}, .env = NoDisplay,
               .out = ::testing::AllOf(HasSubstr("Usage: TavikBackupCopy"), HasSubstr("-P "),
                                       HasSubstr("/bin/TavikBackupCopy.ini\n"), HasSubstr("Exit status"),
                                       HasSubstr("--set KEY=VALUE"), HasSubstr("  3  the wrong disk")),
               .err = IsEmpty()},
    TStartCase{.name = "Version", .args = {"--version"}, .env = NoDisplay,
               .out = MatchesRegex("TavikBackupCopy [0-9]+\\.[0-9]+\\.[0-9]+\n"), .err = IsEmpty()},
    // Help asked for among switches is still only help.
    TStartCase{.name = "HelpAmongSwitches", .args = {"-h", "--help"}, .out = HasSubstr("Usage: "),
               .err = IsEmpty()},
    // A mistyped option must not fall back to the switches and run a real backup.
    TStartCase{.name = "UnknownOptionRunsNothing", .args = {"--dry-run", "-h"}, .status = 2,
               .err = MatchesRegex("TavikBackupCopy: unknown option --dry-run\nUsage: [^\n]*--set[^\n]*\n")},
    TStartCase{.name = "UnknownOptionAfterAKnownOne", .args = {"--settings", "--verbose"}, .env = NoDisplay,
               .status = 2, .err = HasSubstr("unknown option --verbose")},
    TStartCase{.name = "NoSwitchWithoutDisplay", .args = {}, .env = NoDisplay, .status = 2,
               .err = MatchesRegex("TavikBackupCopy: no display[^\n]*\n")},
    TStartCase{.name = "HiddenWithStaleDisplay", .args = {"-h"}, .env = StaleDisplay,
               .err = Not(HasSubstr("display")), .log = TLog::Run, .backedUp = true, .mails = CleanRunMails},
    TStartCase{.name = "PreCheckWithStaleDisplay", .args = {"-P"}, .env = StaleDisplay, .err = IsEmpty()},
    // Nobody could see the window on a display that does not answer: the run goes on offscreen.
    TStartCase{.name = "SilentWithStaleDisplay", .args = {"-s"}, .env = StaleDisplay, .err = IsEmpty(),
               .log = TLog::Run, .backedUp = true, .mails = CleanRunMails},
    // As cron starts it: no display and no runtime folder, and nothing on standard error but the
    // program's own words (cron would mail anything there).
    TStartCase{.name = "HiddenUnderCron", .args = {"-h"},
               .env = {{"DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}, {"XDG_RUNTIME_DIR", std::nullopt}},
               .err = IsEmpty(), .log = TLog::Run, .backedUp = true, .mails = CleanRunMails},
    TStartCase{.name = "PreCheckUnderCron", .args = {"-P"},
               .env = {{"DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}, {"XDG_RUNTIME_DIR", std::nullopt}},
               .err = IsEmpty()},
    TStartCase{.name = "SilentWithoutDisplay", .args = {"-s"}, .env = NoDisplay, .log = TLog::Run,
               .backedUp = true, .mails = CleanRunMails},
    TStartCase{.name = "ThroughALink", .args = {"-h"}, .throughLink = true, .log = TLog::Run,
               .backedUp = true, .mails = CleanRunMails},
    TStartCase{.name = "MissingJobFile", .args = {"-h"}, .jobFile = false, .status = 1, .log = TLog::Run,
               .logLine = "Job settings file @JOB@ not found", .mails = {ErrorsMail, LogMail}},
    TStartCase{.name = "PreCheckWithoutJobFile", .args = {"-P"}, .jobFile = false, .status = 1,
               .err = HasSubstr("/bin/TavikBackupCopy.ini not found")},
    TStartCase{.name = "PreCheckAfterARun", .args = {"-P"}, .runBefore = true, .err = IsEmpty(),
               .log = TLog::Kept, .backedUp = true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Under the service manager every run line also reaches the journal with its priority; a
// JOURNAL_STREAM that names another file (a child of a service writing elsewhere) is no journal.
struct TJournalCase {
  const char* name;
  bool journal;
  TEnvChanges env;
};

void PrintTo(const TJournalCase& c, std::ostream* os) {
  *os << c.name;
}

class Journal : public Startup, public ::testing::WithParamInterface<TJournalCase> {};

TEST_P(Journal, RunLinesCarryTheirPriorityOnlyInTheJournal) {
  const TJournalCase& c = GetParam();
  // A second source that is not there makes one error line among the others.
  test::WriteFile(JobFile(), "[Main]\nSystemDiskAllowed=1\nMaxImageAgeHours=0\nIDPath=" + root / "disk" +
                                 "\nSource=" + root / "source" + "," + root / "nowhere" +
                                 "\nDestination=" + root / "disk/vol1" + "," + root / "disk/vol2" +
                                 "\nVolume=SRV_C_VOL,SRV_D_VOL\n");
  TEnvChanges changes = Offscreen;
  changes.insert(changes.end(), c.env.begin(), c.env.end());

  const test::TProgramRun run = Run({"-h"}, changes, {}, c.journal);

  EXPECT_EQ(run.status, 1) << run.output;
  std::vector<std::string> lines = LogMessages(test::ReadFile(logFile));
  ASSERT_GT(lines.size(), 5u);
  const std::string missing = "Source Directory " + root / "nowhere" + " not found";
  ASSERT_THAT(lines, ::testing::Contains(missing));
  if (!c.journal) {
    EXPECT_THAT(run.err, Not(HasSubstr("<6>")));
    EXPECT_THAT(run.err, Not(HasSubstr("<3>")));
    return;
  }
  // The file's own first line is the logger's, not the run's.
  lines.erase(lines.begin());
  std::string expected;
  // An error line is an error to the journal, the wrong disk a warning.
  for (const std::string& l : lines)
    expected += (l == missing ? "<3>" : l.rfind("Disk ID INCORRRECT:", 0) == 0 ? "<4>" : "<6>") + l + "\n";
  EXPECT_EQ(run.err, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Journal,
    ::testing::Values(TJournalCase{"UnderTheServiceManager", true, {}},
                      TJournalCase{"StreamOfAnotherFile", false, {{"JOURNAL_STREAM", "1:2"}}},
                      TJournalCase{"NoServiceManager", false, {{"JOURNAL_STREAM", std::nullopt}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Started by hand at a terminal (standard error a terminal, no journal), a run shows its lines there.
TEST_F(Startup, ARunStartedAtATerminalShowsItsLinesThere) {
  TNotifier quiet;  // no mail to send, no disk identity to check
  quiet.CreateDestFolder = true;
  SaveSettings(quiet);
  TEnvChanges changes = Offscreen;
  changes.push_back({"JOURNAL_STREAM", std::nullopt});
  // script gives the program a terminal and copies what it writes there to its own output.
  const test::TProgramRun run = Run({"-qec", program + " -h", "/dev/null"}, changes, "/usr/bin/script");

  EXPECT_EQ(run.status, 0) << run.output;
  const std::vector<std::string> lines = LogMessages(test::ReadFile(logFile));
  ASSERT_GT(lines.size(), 3u);
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_THAT(run.out, HasSubstr(lines[i] + "\r\n"));
}

TEST_F(Startup, ARunRefusedByTheLockTellsTheJournalAsAnError) {
  TRunLock other;
  ASSERT_TRUE(other.TryAcquire());

  const test::TProgramRun run = Run({"-h"}, Offscreen, {}, true);

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "<3>Another backup run (process " + std::to_string(::getpid()) + ") is in progress\n");
  EXPECT_FALSE(BackedUp());
}

}  // namespace
}  // namespace tavik
