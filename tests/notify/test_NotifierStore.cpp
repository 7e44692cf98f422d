#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "QorvLib/uQorvFiles.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"
#include "platform/uIniFile.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

// Every field as "name=value", so a mismatch names the field in the failure message.
std::vector<std::string> Fields(const TNotifier& n) {
  auto b = [](bool v) { return std::string(v ? "1" : "0"); };
  return {"LastError=" + n.LastError,
          "Body=" + n.Body,
          "Subject=" + n.Subject,
          "SiteDescription=" + n.SiteDescription,
          "SiteID=" + n.SiteID,
          "SMTPFrom=" + n.SMTPFrom,
          "SMTPLogon=" + n.SMTPLogon,
          "SMTPPort=" + std::to_string(n.SMTPPort),
          "SMTPPwd=" + n.SMTPPwd,
          "SMTPRequiresLogon=" + b(n.SMTPRequiresLogon),
          "SMTPServer=" + n.SMTPServer,
          "SendTo=" + n.SendTo,
          "IDDisk=" + b(n.IDDisk),
          "DiskChangeEmails=" + n.DiskChangeEmails,
          "ErrorEmails=" + n.ErrorEmails,
          "LogEmails=" + n.LogEmails,
          "IDDiskMon=" + b(n.IDDiskMon),
          "IDDiskThur=" + b(n.IDDiskThur),
          "IDDiskWed=" + b(n.IDDiskWed),
          "IDDiskSun=" + b(n.IDDiskSun),
          "IDDiskSat=" + b(n.IDDiskSat),
          "IDDiskFri=" + b(n.IDDiskFri),
          "IDDiskTue=" + b(n.IDDiskTue),
          "MondayID=" + n.MondayID,
          "ThursdayID=" + n.ThursdayID,
          "SaturdayID=" + n.SaturdayID,
          "SundayID=" + n.SundayID,
          "WednesdayID=" + n.WednesdayID,
          "TuesdayID=" + n.TuesdayID,
          "FridayID=" + n.FridayID,
          "BackupCompleteEmails=" + n.BackupCompleteEmails,
          "CreateDestFolder=" + b(n.CreateDestFolder),
          "SMTPSecurity=" + std::to_string(n.SMTPSecurity),
          "SMTPCAFile=" + n.SMTPCAFile,
          "SMTPFingerprint=" + n.SMTPFingerprint};
}

// The mail in hand and the account fields preset, to see what a load leaves alone.
TNotifier Preset() {
  TNotifier n;
  n.LastError = "last error";
  n.Body = "body";
  n.Subject = "subject";
  n.SendTo = "to@site";
  n.SMTPServer = "old server";
  n.SMTPLogon = "old logon";
  n.SMTPPwd = "old pwd";
  return n;
}

// Every stored field away from its default; weekday identities all distinct.
TNotifier Customised() {
  TNotifier n = Preset();
  n.SMTPServer = "mail";
  n.SMTPPort = 587;
  n.SMTPFrom = "from@site";
  n.SiteDescription = "Head office";
  n.SiteID = "HQ1";
  n.SMTPRequiresLogon = true;
  n.SMTPLogon = "user";
  n.SMTPPwd = "pw\xe9";
  n.IDDisk = false;
  n.IDDiskMon = n.IDDiskTue = n.IDDiskWed = n.IDDiskThur = n.IDDiskFri = false;
  n.IDDiskSat = n.IDDiskSun = true;
  n.MondayID = "Mo";
  n.TuesdayID = "Tu";
  n.WednesdayID = "We";
  n.ThursdayID = "Th";
  n.FridayID = "Fr";
  n.SaturdayID = "Sa";
  n.SundayID = "Su";
  n.ErrorEmails = "err@site";
  n.DiskChangeEmails = "disk@site";
  n.LogEmails = "log@site";
  n.BackupCompleteEmails = "done@site";
  n.CreateDestFolder = false;
  return n;
}

// What a first save of Customised() writes. The scrambled values were worked out by hand from the
// key stream: "mail" with 414, "user" with 5439, "pw\xe9" with 431.
const std::string CustomisedFile =
    "[Email Settings]\n"
    "SMTPServer=s9syVB\n"
    "SMTPPort=587\n"
    "SMTPFrom=from@site\n"
    "SiteDescription=Head office\n"
    "SiteID=HQ1\n"
    "SMTPRequiresLogon=1\n"
    "SMTPLogon=g5JKZC\n"
    "SMTPPwd=xp9Z\n"
    "[Settings]\n"
    "CreateDestFolder=0\n"
    "[Notifications]\n"
    "IDDisk=0\n"
    "IDDiskMon=0\n"
    "IDDiskTue=0\n"
    "IDDiskWed=0\n"
    "IDDiskThur=0\n"
    "IDDiskFri=0\n"
    "IDDiskSat=1\n"
    "IDDiskSun=1\n"
    "MondayID=Mo\n"
    "TuesdayID=Tu\n"
    "WednesdayID=We\n"
    "ThursdayID=Th\n"
    "FridayID=Fr\n"
    "SaturdayID=Sa\n"
    "SundayID=Su\n"
    "ErrorEmails=err@site\n"
    "DiskChangeEmails=disk@site\n"
    "LogEmails=log@site\n"
    "BackupCompleteEmails=done@site\n";

std::string WithoutCR(std::string s) {
  std::erase(s, '\r');
  return s;
}

std::string Replaced(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}

class NotifierStore : public ::testing::Test {
 protected:
  test::TSealedEnv env;
  std::string folder = env.Dir() / "programdata/Tavik";
  std::string file = env.Dir() / "programdata/Tavik/TavikBackup.ini";

  TNotifier Loaded(const std::string& content) {
    test::WriteFile(file, content);
    TNotifier n = Preset();
    LoadSettings(n);
    return n;
  }
};

// The load defaults applied to n; the scrambled account fields and the mail in hand keep theirs.
TNotifier WithDefaults(TNotifier n) {
  n.SMTPPort = 25;
  n.SMTPFrom = n.SiteDescription = n.SiteID = "";
  n.SMTPRequiresLogon = false;
  n.IDDisk = true;
  n.IDDiskMon = n.IDDiskTue = n.IDDiskWed = n.IDDiskThur = n.IDDiskFri = true;
  n.IDDiskSat = n.IDDiskSun = false;
  n.CreateDestFolder = true;
  n.MondayID = "Disk1";
  n.TuesdayID = "Disk2";
  n.WednesdayID = "Disk3";
  n.ThursdayID = "Disk1";
  n.FridayID = "Disk2";
  n.SaturdayID = "Disk3";
  n.SundayID = "Disk1";
  n.ErrorEmails = n.DiskChangeEmails = n.LogEmails = n.BackupCompleteEmails = "";
  return n;
}

TNotifier Defaults() {
  return WithDefaults(Preset());
}

TEST_F(NotifierStore, SettingsFolderIsCreatedWithItsParents) {
  const std::string deep = env.Dir() / "programdata/a/b";
  test::SetEnv("PROGRAMDATA", deep);  // the sealed environment puts it back
  EXPECT_EQ(SettingsFolder(), env.Dir() / "programdata/a/b/Tavik/");
  EXPECT_TRUE(FolderExists(env.Dir() / "programdata/a/b/Tavik"));
  EXPECT_EQ(SettingsFileName(), env.Dir() / "programdata/a/b/Tavik/TavikBackup.ini");
}

TEST_F(NotifierStore, MissingFileGivesTheDefaultsAndLeavesOtherFieldsAlone) {
  TNotifier n = Customised();
  n.SMTPServer = "old server";
  n.SMTPLogon = "old logon";
  n.SMTPPwd = "old pwd";
  LoadSettings(n);
  EXPECT_EQ(Fields(n), Fields(Defaults()));
  EXPECT_FALSE(FileExists(file));  // a load never writes
}

TEST_F(NotifierStore, LoadsEveryKeyFromItsSection) {
  EXPECT_EQ(Fields(Loaded(CustomisedFile)), Fields(Customised()));
  // Case and blanks around sections and keys do not matter.
  EXPECT_EQ(Fields(Loaded(Replaced(Replaced(CustomisedFile, "[Email Settings]", "[ email settings ]"),
                                   "SMTPPort=", "smtpport = "))),
            Fields(Customised()));
}

TEST_F(NotifierStore, KeysInAnotherSectionAreNotSeen) {
  std::string shuffled = Replaced(CustomisedFile, "[Email Settings]", "[X1]");
  shuffled = Replaced(shuffled, "[Notifications]", "[Email Settings]");
  shuffled = Replaced(shuffled, "[Settings]", "[Notifications]");
  shuffled = Replaced(shuffled, "[X1]", "[Settings]");
  EXPECT_EQ(Fields(Loaded(shuffled)), Fields(Defaults()));
}

struct TNumberCase {
  std::string stored;
  int32_t port;
};

TEST_F(NotifierStore, ReadsNumbersAsDecimalOrHexadecimalElseTheDefault) {
  const TNumberCase cases[] = {
      {"0x1D", 29},
      {"0X1d", 29},
      {"$1D", 29},
      {"$1d", 29},
      {"0x", 25},
      {"$", 25},
      {"0x1G", 25},
      {"0x-1", 25},
      {"abc", 25},
      {"12abc", 25},
      {"1e3", 25},
      {"", 25},
      {"587", 587},
      {"0587", 587},
      {"+587", 587},
      {"+-5", 25},
      {"'587'", 587},
      {"  587  ", 587},
      {"0", 0},
      {"-7", -7},
      {"2147483647", 2147483647},
      {"2147483648", 25},
      {"-2147483648", INT32_MIN},
      {"-2147483649", 25},
      {"0x7FFFFFFF", 2147483647},
      {"0xFFFFFFFF", -1},
      {"0x100000000", 25},
  };
  for (const auto& c : cases) {
    TNotifier n = Loaded("[Email Settings]\nSMTPPort=" + c.stored + "\n");
    EXPECT_EQ(n.SMTPPort, c.port) << "stored \"" << c.stored << "\"";
  }
}

struct TFlagCase {
  std::string stored;
  bool saturday;  // default false
  bool monday;    // default true
};

TEST_F(NotifierStore, ReadsBooleansAsNumbersWithAnyNonZeroTrue) {
  const TFlagCase cases[] = {
      {"1", true, true},    {"0", false, false},   {"2", true, true},
      {"-1", true, true},   {"0x0", false, false}, {"$10", true, true},
      {"yes", false, true}, {"true", false, true}, {"", false, true},
  };
  for (const auto& c : cases) {
    TNotifier n = Loaded("[Notifications]\nIDDiskSat=" + c.stored + "\nIDDiskMon=" + c.stored + "\n");
    EXPECT_EQ(n.IDDiskSat, c.saturday) << "stored \"" << c.stored << "\"";
    EXPECT_EQ(n.IDDiskMon, c.monday) << "stored \"" << c.stored << "\"";
  }
}

TEST_F(NotifierStore, LogonIsLoadedOnlyWhenTheSwitchReadsTrue) {
  const std::string account = "SMTPLogon=g5JKZC\nSMTPPwd=xp9Z\n";
  for (const std::string logonOff : {"SMTPRequiresLogon=0\n", "SMTPRequiresLogon=yes\n", ""}) {
    TNotifier n;
    test::WriteFile(file, "[Email Settings]\n" + logonOff + account);
    LoadSettings(n);
    EXPECT_EQ(n.SMTPLogon, "") << logonOff;
    EXPECT_EQ(n.SMTPPwd, "") << logonOff;
    EXPECT_FALSE(n.SMTPRequiresLogon);
  }
  TNotifier n = Loaded("[Email Settings]\nSMTPRequiresLogon=2\n" + account);
  EXPECT_TRUE(n.SMTPRequiresLogon);
  EXPECT_EQ(n.SMTPLogon, "user");
  EXPECT_EQ(n.SMTPPwd, "pw\xe9");
}

// The transport keys are written only once they say something; then they follow the logon keys,
// and a later return to plain SMTP is written too, so no stale choice survives in the file.
TEST_F(NotifierStore, TransportKeysRoundTripAndStayOutUntilChosen) {
  TNotifier n = Customised();
  n.LastError = n.Body = n.Subject = n.SendTo = "";  // never stored
  SaveSettings(n);
  const std::string plain = test::ReadFile(file);
  EXPECT_EQ(plain.find("SMTPSecurity"), std::string::npos);
  SaveSettings(n);
  EXPECT_EQ(test::ReadFile(file), plain);

  n.SMTPSecurity = 1;
  n.SMTPCAFile = "/etc/tavik/relay-ca.pem";
  n.SMTPFingerprint = "AB:cd";
  SaveSettings(n);
  const std::string secure = WithoutCR(test::ReadFile(file));
  const size_t pwd = secure.find("\nSMTPPwd="), end = secure.find('\n', pwd + 1);
  EXPECT_EQ(secure.substr(end, secure.find("\n[", end) - end),
            "\nSMTPSecurity=1\nSMTPCAFile=/etc/tavik/relay-ca.pem\nSMTPFingerprint=AB:cd");
  TNotifier back;
  LoadSettings(back);
  EXPECT_EQ(Fields(back), Fields(n));

  n.SMTPSecurity = 0;
  n.SMTPCAFile = n.SMTPFingerprint = "";
  SaveSettings(n);
  TNotifier plainAgain;
  LoadSettings(plainAgain);
  EXPECT_EQ(plainAgain.SMTPSecurity, 0);
  EXPECT_EQ(plainAgain.SMTPCAFile, "");
  EXPECT_EQ(plainAgain.SMTPFingerprint, "");
  EXPECT_NE(WithoutCR(test::ReadFile(file)).find("\nSMTPSecurity=0\nSMTPCAFile=\nSMTPFingerprint=\n"),
            std::string::npos);
}

TEST_F(NotifierStore, FirstSaveWritesSectionsAndKeysInOrder) {
  SaveSettings(Customised());
  EXPECT_EQ(WithoutCR(test::ReadFile(file)), CustomisedFile);
  TNotifier back;
  LoadSettings(back);
  TNotifier expected = Customised();
  expected.LastError = expected.Body = expected.Subject = expected.SendTo = "";  // never stored
  EXPECT_EQ(Fields(back), Fields(expected));
}

TEST_F(NotifierStore, SaveWithLogonOffWipesTheStoredAccount) {
  test::WriteFile(file, CustomisedFile);
  TNotifier n = Customised();  // the fields still hold a logon and a password
  n.SMTPRequiresLogon = false;
  n.SMTPServer = "";
  SaveSettings(n);
  const std::string saved = WithoutCR(test::ReadFile(file));
  EXPECT_NE(saved.find("\nSMTPLogon=\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\nSMTPPwd=\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[Email Settings]\nSMTPServer=\n"), std::string::npos) << saved;

  // Even with the switch turned back on by hand, nothing of the old account comes back.
  WriteProfileString(file, "Email Settings", "SMTPRequiresLogon", "1");
  TNotifier back;
  LoadSettings(back);
  EXPECT_EQ(back.SMTPLogon, "");
  EXPECT_EQ(back.SMTPPwd, "");
  EXPECT_EQ(back.SMTPServer, "");
}

#ifndef _WIN32
// Windows: the folder's rights, set by the installer, are what keeps the file private.
mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

// The file holds the mail account's password and the scrambling is no protection.
TEST_F(NotifierStore, NewFileIsPrivateAndAnExistingFileKeepsItsMode) {
  SaveSettings(Customised());
  EXPECT_EQ(ModeOf(file), 0600u);

  ::chmod(file.c_str(), 0644);
  SaveSettings(Customised());
  EXPECT_EQ(ModeOf(file), 0644u);
}
#endif

// Permission bits do not stop root, so the failures are made of a folder where the file belongs
// and of a file where the folder belongs.
TEST_F(NotifierStore, RefusedWriteNamesTheFullPath) {
  const std::pair<const char*, std::function<void()>> setups[] = {
      {"file is a folder", [&] { std::filesystem::create_directories(file); }},
      {"folder is a file", [&] { test::WriteFile(folder, "not a folder"); }},
  };
  for (const auto& [name, setup] : setups) {
    std::filesystem::remove_all(folder);
    setup();
    TNotifier n;
    LoadSettings(n);  // unreadable settings are no error: the defaults hold
    EXPECT_EQ(Fields(n), Fields(WithDefaults(TNotifier{}))) << name;
    try {
      SaveSettings(Customised());
      ADD_FAILURE() << name << ": no error";
    } catch (const EInOutError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Unable to write to " + file + ": ", 0), 0u) << name << e.what();
    }
  }
}

}  // namespace
}  // namespace tavik

namespace tavik {
namespace {

// The scheduler's account meets a file the dialog saved under another account: the reason is
// told, while a missing file is no problem at all.
TEST(SettingsFileProblem, NamesTheFileAndTheReasonButNotAMissingFile) {
  test::TSealedEnv env;
  EXPECT_EQ(SettingsFileProblem(), "");
  WriteProfileString(SettingsFileName(), "Email Settings", "SiteID", "S01");
  EXPECT_EQ(SettingsFileProblem(), "");
#ifdef _WIN32
  GTEST_SKIP() << "another account's identity is taken by fork and setresuid, which Windows lacks";
#else
  ::chmod(SettingsFileName().c_str(), 0600);
  ::chmod(SettingsFolder().c_str(), 0755);
  // Opened for the other account up to the test's own folder, never above it: the folders above
  // belong to the machine.
  for (std::filesystem::path p = SettingsFolder(); p.string().size() >= env.Dir().Path().size();
       p = p.parent_path())
    ::chmod(p.c_str(), 0755);

  // Root reads through any permission, so the reading account is nobody's, in a child.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
    const std::string problem = SettingsFileProblem();
    const ssize_t n = ::write(fds[1], problem.data(), problem.size());
    ::_exit(n == static_cast<ssize_t>(problem.size()) ? 0 : 3);
  }
  ::close(fds[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot take another account's identity here";
  EXPECT_EQ(said, "Cannot read " + SettingsFileName() + ": Permission denied");
#endif
}

// Something at the file's name that is no file is told, not read as missing settings.
TEST(SettingsFileProblem, NamesAFolderAtTheFilesName) {
  test::TSealedEnv env;
  ASSERT_TRUE(ForceFolders(SettingsFileName()));
  const std::string problem = SettingsFileProblem();
  EXPECT_EQ(problem.rfind("Cannot read " + SettingsFileName() + ": ", 0), 0u) << problem;
  EXPECT_GT(problem.size(), ("Cannot read " + SettingsFileName() + ": ").size()) << problem;
}

}  // namespace
}  // namespace tavik
