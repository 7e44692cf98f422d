// The mails that end a run and the disk pre-check, against a real server on loopback: which mails
// go out, in what order, to whom, with which subject, body and attachment, to the byte.
#include "run/uReport.h"

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uDiskIdentity.h"
#include "core/uRunOutput.h"
#include "core/uVersion.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "platform/uSystem.h"
#include "tests/support/RunRecorder.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::TAioSmtpServer;
using test::TScriptedSmtpServer;
using test::TSmtpReply;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string Footer =
    std::string("<br />Sent by TavikBackupCopy ") + ProgramVersion + " on " + HostComputerName() + ".";

const TDateTime Monday = FromLocal(2026, 12, 7, 23, 15);
const TDateTime Tuesday = FromLocal(2026, 12, 8, 6, 0);
const TDateTime Saturday = FromLocal(2026, 12, 12, 23, 15);

// One mail as the server got it.
struct TMail {
  std::vector<std::string> to;
  std::string subject;
  std::string body;        // the HTML part, without the line ends composition put after it
  std::string attachment;  // "" when none
  std::string attachmentName;
};

std::vector<TMail> Received(const TAioSmtpServer& server) {
  std::vector<TMail> mails;
  for (const test::TReceivedMail& m : server.Messages()) {
    const test::TParsedMail parsed = test::ParseMailWithPython(m.raw);
    TMail mail{m.rcptTos, parsed.Header("Subject"), "", "", ""};
    for (const auto& part : parsed.parts) {
      if (part.contentType == "text/html") {
        // The body breaks its lines after every <br />; the text is what it was.
        for (char c : part.payload)
          if (c != '\n' && c != '\r') mail.body += c;
      } else if (!part.fileName.empty()) {
        mail.attachment = part.payload;
        mail.attachmentName = part.fileName;
      }
    }
    mails.push_back(mail);
  }
  return mails;
}

// A port that was just free, so nothing listens there.
int ClosedPort() {
  TScriptedSmtpServer probe({});
  probe.Start();
  return probe.Port();
}

std::vector<std::string> Subjects(const std::vector<TMail>& mails) {
  std::vector<std::string> s;
  for (const TMail& m : mails) s.push_back(m.subject);
  return s;
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    logPath = logger.ConfigureLog(true, "TavikShadowCopy", "");
  }
  void TearDown() override {
    UnpinClock();
    SetNotifierSmtpTimeout(30000);
  }

  // The settings file as the dialog would leave it: default schedule, the given lists.
  void SaveAccount(int port, const std::string& complete) {
    TNotifier n;
    LoadSettings(n);
    n.SMTPServer = "127.0.0.1";
    n.SMTPPort = port;
    n.SMTPFrom = "backup@example.org";
    n.SiteID = "S01";
    n.SiteDescription = "Office";
    n.BackupCompleteEmails = complete;
    SaveSettings(n);
  }

  test::TSealedEnv env;
  test::TScriptedUi ui;
  test::TTempDir disk;
  TQorvLogger logger;
  std::string logPath;
  test::TRunRecorder view;
};

struct TReportCase {
  const char* name;
  TDateTime when;
  const char* diskId;  // on the disk
  std::vector<std::string> errors;
  const char* diskChange;
  const char* errorTo;
  const char* complete;
  const char* logTo;
  const char* siteId;
  const char* siteDescription;
  bool keepLog;              // false: the log file is gone when the report runs
  std::vector<TMail> mails;  // attachment "log": the log file as it stood
};

void PrintTo(const TReportCase& c, std::ostream* os) {
  *os << c.name;
}

class ReportMails : public ReportTest, public ::testing::WithParamInterface<TReportCase> {};

TEST_P(ReportMails, SentAsTheRunEnded) {
  const TReportCase& c = GetParam();
  PinClock(c.when);
  TAioSmtpServer server;
  server.Start();

  TNotifier n;
  LoadSettings(n);  // the default weekday schedule
  n.SMTPServer = "127.0.0.1";
  n.SMTPPort = server.Port();
  n.SMTPFrom = "backup@example.org";
  n.DiskChangeEmails = c.diskChange;
  n.ErrorEmails = c.errorTo;
  n.BackupCompleteEmails = c.complete;
  n.LogEmails = c.logTo;
  n.SiteID = c.siteId;
  n.SiteDescription = c.siteDescription;

  // The run's lines as RunBackup writes them, through the identity step up to the status line.
  test::WriteFile(disk / "ID.txt", std::string(c.diskId) + "\r\nlabelled\r\n");
  TLineOutput out(logger, view);
  out.LogLine("Start: 07/12/2026 23:15");
  TRunValues values;
  CheckDiskIdentity(out, n, disk.Path() + "/", Now(), values);
  for (const std::string& e : c.errors) out.LogLine(e, true);
  out.ShowStatus("Checking to see if any alerts to send.");
  const std::string logNow = test::ReadFile(logPath);
  if (!c.keepLog) std::remove(logPath.c_str());

  ASSERT_EQ(RunLogFilePath(logger), logPath);
  SendReport(n, out.ErrorLines(), values, RunLogFilePath(logger));

  const std::vector<TMail> got = Received(server);
  ASSERT_EQ(Subjects(got).size(), c.mails.size()) << ::testing::PrintToString(Subjects(got));
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("mail " + std::to_string(i + 1));
    EXPECT_EQ(got[i].to, c.mails[i].to);
    EXPECT_EQ(got[i].subject, c.mails[i].subject);
    EXPECT_EQ(got[i].body, c.mails[i].body);
    if (c.mails[i].attachment == "log") {
      EXPECT_EQ(got[i].attachment, logNow);
      EXPECT_THAT(got[i].attachment, EndsWith("Checking to see if any alerts to send.\r\n"));
      EXPECT_EQ(got[i].attachmentName, ExtractFileName(logPath));
    } else {
      EXPECT_EQ(got[i].attachmentName, "");
    }
  }
  // Mails that went through leave no reason behind.
  EXPECT_EQ(n.LastError, "");
}

const std::string Completed = "Your backup has completed. Please take the time now to change the disk";
const std::string CompletedDisk2 = Completed + "<br />Disk to insert should be labelled: Disk2<br />";
const std::string LogBody = "Please see attached backup log.<br /><br /><br /><br /><br /><br />" + Footer;

INSTANTIATE_TEST_SUITE_P(
    Table, ReportMails,
    ::testing::Values(
        TReportCase{"CleanRun",
                    Monday,
                    "Disk1",
                    {},
                    "d@x.org",
                    "e@x.org",
                    "c@x.org",
                    "l@x.org",
                    "",
                    "",
                    true,
                    {{{"c@x.org"}, "[:] Backup Completed. Time to change disk.", CompletedDisk2, "", ""},
                     {{"l@x.org"}, "[:] Backup Log", LogBody, "log", ""}}},
        TReportCase{
            "OneErrorLine",
            Monday,
            "Disk1",
            {"Error: Cannot open /src/C_0001.spf"},
            "d@x.org",
            "e@x.org, e2@x.org",
            "c@x.org",
            "l@x.org",
            "",
            "",
            true,
            {{{"e@x.org", "e2@x.org"},
              "[:] Backup Errors",
              "Please see attached log file<br /><br />Error: Cannot open /src/C_0001.spf<br />" + Footer,
              "log",
              ""},
             {{"l@x.org"}, "[:] Backup Log", LogBody, "log", ""}}},
        TReportCase{
            "TwoErrorLinesLogGone",
            Monday,
            "Disk1",
            {"Source Directory /src missing", "Error: boom"},
            "",
            "e@x.org",
            "c@x.org",
            "l@x.org",
            "",
            "",
            false,
            {{{"e@x.org"},
              "[:] Backup Errors",
              "Please see attached log file<br /><br />Source Directory /src missing<br />Error: boom<br />" +
                  Footer,
              "",
              ""}}},
        TReportCase{"ErrorsWithoutErrorRecipients",
                    Monday,
                    "Disk1",
                    {"Error: boom"},
                    "d@x.org",
                    "",
                    "c@x.org",
                    "",
                    "",
                    "",
                    true,
                    {{{"c@x.org"},
                      "[:] Backup Completed. Time to change disk. (with errors)",
                      "The run wrote 1 error line.<br />" + CompletedDisk2,
                      "",
                      ""}}},
        // A list of stray commas names nobody: its mail is off, as for an empty list.
        TReportCase{"ErrorListOfStrayCommas",
                    Monday,
                    "Disk1",
                    {"Error: boom", "Source Directory x not found"},
                    "",
                    " , ,",
                    "c@x.org",
                    "",
                    "",
                    "",
                    true,
                    {{{"c@x.org"},
                      "[:] Backup Completed. Time to change disk. (with errors)",
                      "The run wrote 2 error lines.<br />" + CompletedDisk2,
                      "",
                      ""}}},
        TReportCase{"WrongDisk",
                    Monday,
                    "Disk3",
                    {},
                    "d@x.org",
                    "e@x.org",
                    "c@x.org",
                    "l@x.org",
                    "",
                    "",
                    true,
                    {{{"d@x.org"},
                      "[:] Disk Change Error",
                      "Incorrect backup disk found in drive.<br /><br /> ID = Disk3, Should be: Disk1<br "
                      "/>Next disk = "
                      "Disk2" +
                          Footer,
                      "",
                      ""},
                     {{"c@x.org"}, "[:] Backup Completed. Time to change disk.", CompletedDisk2, "", ""},
                     {{"l@x.org"}, "[:] Backup Log", LogBody, "log", ""}}},
        TReportCase{"WrongDiskWithoutAlertRecipients",
                    Monday,
                    "Disk3",
                    {},
                    "",
                    "",
                    "c@x.org",
                    "",
                    "",
                    "",
                    true,
                    {{{"c@x.org"}, "[:] Backup Completed. Time to change disk.", CompletedDisk2, "", ""}}},
        TReportCase{"SaturdayHasNoNextDisk",
                    Saturday,
                    "Disk1",
                    {},
                    "d@x.org",
                    "",
                    "c@x.org",
                    "",
                    "",
                    "",
                    true,
                    {{{"c@x.org"}, "[:] Backup Completed. Time to change disk.", Completed, "", ""}}},
        TReportCase{"SiteInTheSubject",
                    Monday,
                    "Disk1",
                    {},
                    "",
                    "",
                    "",
                    "l@x.org",
                    "S01",
                    "Office",
                    true,
                    {{{"l@x.org"}, "[S01:Office] Backup Log", LogBody, "log", ""}}},
        TReportCase{
            "NoListsNoMail", Monday, "Disk3", {"Error: boom"}, "", "", "", "", "S01", "Office", true, {}},
        TReportCase{"LogCopyNeedsTheLog", Monday, "Disk1", {}, "", "", "", "l@x.org", "", "", false, {}}),
    [](const ::testing::TestParamInfo<TReportCase>& info) { return std::string(info.param.name); });

// A report that cannot reach its server ends with an error naming the reason, which the run
// turns into an "Error: " line; the mails after it are not attempted.
TEST_F(ReportTest, UnreachableSilentOrRefusingServerEndsTheReportWithAnError) {
  SetNotifierSmtpTimeout(300);
  const int closedPort = ClosedPort();
  struct TCase {
    const char* name;
    std::vector<TSmtpReply> script;  // empty: nothing listens
    bool logon;
    std::string error;  // %d: the port
  } cases[] = {
      {"unreachable", {}, false, "Failed to connect to host 127.0.0.1 on port %d: Connection refused"},
      {"silent",
       {TSmtpReply::Silence()},
       false,
       "Failed to connect to host 127.0.0.1 on port %d: timed out waiting for the reply to the greeting"},
      {"no logon offered",
       {"220 ready", "250 hello, no AUTH here", "221 bye"},
       true,
       "Authentication failed: the server offers no logon (AUTH LOGIN or PLAIN)"},
      {"logon refused",
       {"220 ready", TSmtpReply::Raw("250-hello\r\n250 AUTH PLAIN\r\n"), "535 5.7.8 authentication failed",
        "221 bye"},
       true,
       "Authentication failed: 535 5.7.8 authentication failed"},
  };
  test::WriteFile(logPath, "a log\r\n");
  for (TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TScriptedSmtpServer> server;
    int port = closedPort;
    if (!c.script.empty()) {
      server = std::make_unique<TScriptedSmtpServer>(c.script);
      server->Start();
      port = server->Port();
    }
    TNotifier n;
    n.SMTPServer = "127.0.0.1";
    n.SMTPPort = port;
    n.SMTPFrom = "backup@example.org";
    n.SMTPRequiresLogon = c.logon;
    n.SMTPLogon = "user";
    n.SMTPPwd = "secret";
    n.DiskChangeEmails = n.ErrorEmails = n.BackupCompleteEmails = n.LogEmails = "ops@example.org";
    TRunValues values;
    values.diskMismatch = true;

    std::string error = "no error";
    try {
      SendReport(n, {"Error: boom"}, values, logPath);
    } catch (const std::exception& e) {
      error = e.what();
    }
    const size_t at = c.error.find("%d");
    if (at != std::string::npos) c.error.replace(at, 2, std::to_string(port));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(n.Subject, "[:] Disk Change Error");  // ended at the first mail
    if (server) {
      EXPECT_EQ(server->Connections(), 1);
    }
  }
}

// A refused mail is left in LastError and becomes an error line; the mails after it still go
// out, and the line it adds does not turn the completion notice into an error report.
TNotifier LocalNotifier(int port) {
  TNotifier n;
  n.SMTPServer = "127.0.0.1";
  n.SMTPPort = port;
  n.SMTPFrom = "backup@example.org";
  return n;
}

// A mail the server refuses after the connection is made costs a line that carries the server's
// own words, or which reply never came.
TEST_F(ReportTest, RefusedMailLineCarriesTheServersReply) {
  SetNotifierSmtpTimeout(300);
  const std::vector<TSmtpReply> upToData = {"220 ready", "250 hello", "250 sender ok", "250 recipient ok"};
  const struct {
    const char* name;
    std::vector<TSmtpReply> rest;
    const char* line;
  } cases[] = {
      {"554 at the end of the data",
       {"354 go on", "554 5.7.1 rejected", "221 bye"},
       "Error: Mail \"[:] Disk Change Error\" not sent: Failed to send message: 554 5.7.1 rejected"},
      {"no reply to DATA",
       {TSmtpReply::Silence()},
       "Error: Mail \"[:] Disk Change Error\" not sent: Failed to send message: timed out waiting for the "
       "reply "
       "to DATA"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TSmtpReply> script = upToData;
    script.insert(script.end(), c.rest.begin(), c.rest.end());
    TScriptedSmtpServer server(script);
    server.Start();
    TNotifier n = LocalNotifier(server.Port());
    n.DiskChangeEmails = "ops@example.org";
    TRunValues values;
    values.diskMismatch = true;
    TLineOutput out(logger, view);
    SendReport(n, out.ErrorLines(), values, logPath,
               [&](const std::string& line) { out.ReportFailure(line); });
    EXPECT_THAT(out.ErrorLines(), ElementsAre(c.line));
  }
  SetNotifierSmtpTimeout(30000);
}

TEST_F(ReportTest, RefusedMailDoesNotStopOrChangeTheNext) {
  // Connections share the script: the first mail's recipient is refused, the second goes through.
  TScriptedSmtpServer server({"220 ready", "250 hello", "250 sender ok", "550 no such user", "220 ready",
                              "250 hello", "250 sender ok", "250 recipient ok", "354 go on", "250 queued",
                              "250 reset", "221 bye"});
  server.Start();
  TNotifier n = LocalNotifier(server.Port());
  n.DiskChangeEmails = "nobody@example.org";
  n.BackupCompleteEmails = "ops@example.org";
  n.ErrorEmails = "admin@example.org";
  TRunValues values;
  values.diskMismatch = true;
  // Wired as the run wires it: the failure lands in the very list the report reads.
  TLineOutput out(logger, view);
  SendReport(n, out.ErrorLines(), values, logPath, [&](const std::string& line) { out.ReportFailure(line); });
  EXPECT_EQ(server.Connections(), 2);
  ASSERT_EQ(server.DataBlocks().size(), 1u);
  EXPECT_THAT(server.DataBlocks()[0], HasSubstr("Subject: [:] Backup Completed. Time to change disk."));
  EXPECT_THAT(server.DataBlocks()[0], HasSubstr("\r\nTo: \"ops@example.org\" <ops@example.org>\r\n"));
  EXPECT_THAT(
      out.ErrorLines(),
      ElementsAre(
          "Error: Mail \"[:] Disk Change Error\" not sent: Failed to send message: 550 no such user"));
}

struct TPreCheckCase {
  const char* name;
  const char* idFile;  // nullptr: no identity file
  const char* complete;
  bool tuesdayChecked;
  bool ok;
  bool mailed;
};

TEST_F(ReportTest, PreCheckOnATuesday) {
  const TPreCheckCase cases[] = {
      {"right disk", "Disk2\r\nlabelled\r\n", "c@x.org", true, true, false},
      {"right disk, other case", "disk2\r\n", "c@x.org", true, true, false},
      {"check flag off", "Disk1\r\n", "c@x.org", false, true, false},
      {"no recipients", "Disk1\r\n", "", true, true, false},
      {"stray commas only", "Disk1\r\n", ",", true, true, false},
      {"empty identity", "\r\nDisk1\r\n", "c@x.org", true, true, false},
      {"no identity file", nullptr, "c@x.org", true, false, false},
      {"wrong disk", "Disk1\r\nlabelled\r\n", "c@x.org, c2@x.org", true, true, true},
  };
  PinClock(Tuesday);
  const std::string job = disk / "job.ini";
  test::WriteFile(job, "[Main]\r\nIDPath=" + disk.Path() + "\r\n");
  for (const TPreCheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    TAioSmtpServer server;
    server.Start();
    SaveAccount(server.Port(), c.complete);
    TNotifier n;
    LoadSettings(n);
    n.IDDiskTue = c.tuesdayChecked;
    SaveSettings(n);
    std::remove((disk / "ID.txt").c_str());
    if (c.idFile) test::WriteFile(disk / "ID.txt", c.idFile);

    std::string failure;
    EXPECT_EQ(PreCheckDisk(job, &failure), c.ok);
    EXPECT_EQ(failure.empty(), c.ok) << failure;
    if (c.idFile) {
      EXPECT_EQ(test::ReadFile(disk / "ID.txt"), c.idFile);  // never labelled or deleted
    }
    EXPECT_FALSE(FileExists(logPath));  // and nothing logged

    const std::vector<TMail> got = Received(server);
    if (!c.mailed) {
      EXPECT_THAT(Subjects(got), IsEmpty());
      continue;
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0].to, ElementsAre("c@x.org", "c2@x.org"));
    EXPECT_EQ(got[0].subject, "[S01:Office] Warning incorrect disk found. Please insert Disk2.");
    EXPECT_EQ(
        got[0].body,
        "Backup precheck has detected you currently have the wrong disk plugged in. Please take the time now "
        "to change disks<br />Disk to insert should be labelled: Disk2<br />");
    EXPECT_EQ(got[0].attachmentName, "");
  }
}

TEST_F(ReportTest, PreCheckWithAnUnreadableSettingsFileSaysSo) {
  PinClock(Tuesday);
  const std::string job = disk / "job.ini";
  test::WriteFile(job, "[Main]\r\nIDPath=" + disk.Path() + "\r\n");
  test::WriteFile(disk / "ID.txt", "Disk3\r\n");
  std::filesystem::create_directories(SettingsFileName());  // a folder where the file should be
  std::string failure;
  EXPECT_FALSE(PreCheckDisk(job, &failure));
  EXPECT_EQ(failure, "Cannot read " + SettingsFileName() + ": Is a directory");
}

TEST_F(ReportTest, PreCheckWhoseMailCannotGoOutSaysSo) {
  PinClock(Tuesday);
  const int closedPort = ClosedPort();
  SaveAccount(closedPort, "c@x.org");
  const std::string job = disk / "job.ini";
  test::WriteFile(job, "[Main]\r\nIDPath=" + disk.Path() + "\r\n");
  test::WriteFile(disk / "ID.txt", "Disk3\r\n");
  std::string failure;
  EXPECT_FALSE(PreCheckDisk(job, &failure));
  EXPECT_THAT(failure,
              HasSubstr("Failed to connect to host 127.0.0.1 on port " + std::to_string(closedPort)));
}

}  // namespace
}  // namespace tavik
