#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <map>

#include "app/qt/uMain.h"
#include "notify/qt/uMailSettings.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "platform/uIniFile.h"
#include "tests/support/QtApp.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::ReadFile;
using test::TScriptedUi;
using test::TSealedEnv;

template <typename T>
T* Child(QObject& w, const char* name) {
  T* c = w.findChild<T*>(name);
  EXPECT_NE(c, nullptr) << name;
  return c;
}
QLineEdit* Edit(QObject& w, const char* name) {
  return Child<QLineEdit>(w, name);
}
QCheckBox* Check(QObject& w, const char* name) {
  return Child<QCheckBox>(w, name);
}
void Click(QObject& w, const char* name) {
  Child<QPushButton>(w, name)->click();
}

// Every control bound to a stored field, the logon box before the user and password it governs.
struct TBinding {
  const char* control;
  const char* field;
};
const TBinding Bindings[] = {
    {"ChkBox", "SMTPRequiresLogon"},
    {"EbSMTPHost", "SMTPServer"},
    {"EbPort", "SMTPPort"},
    {"EBReply", "SMTPFrom"},
    {"Euser", "SMTPLogon"},
    {"EPass", "SMTPPwd"},
    {"EdDescription", "SiteDescription"},
    {"EdSiteID", "SiteID"},
    {"ChkCreatDest", "CreateDestFolder"},
    {"ChkID", "IDDisk"},
    {"EdAlerts", "ErrorEmails"},
    {"EdLogEmails", "LogEmails"},
    {"EdDiskChange", "DiskChangeEmails"},
    {"ChkMonday", "IDDiskMon"},
    {"ChkTuesday", "IDDiskTue"},
    {"ChkWednesday", "IDDiskWed"},
    {"ChkThursday", "IDDiskThur"},
    {"ChkFriday", "IDDiskFri"},
    {"ChkSaturday", "IDDiskSat"},
    {"ChkSunday", "IDDiskSun"},
    {"EdIDMon", "MondayID"},
    {"EdIDTue", "TuesdayID"},
    {"EdIDWed", "WednesdayID"},
    {"EdIDThur", "ThursdayID"},
    {"EdIDFri", "FridayID"},
    {"EdIDSat", "SaturdayID"},
    {"EdIDSun", "SundayID"},
    {"EdBackupComplete", "BackupCompleteEmails"},
    {"EdMetricsFile", "MetricsFile"},
    {"EdPingURL", "PingURL"},
};

std::map<std::string, std::string> Stored(const TNotifier& n) {
  auto b = [](bool v) { return std::string(v ? "1" : "0"); };
  return {{"SMTPRequiresLogon", b(n.SMTPRequiresLogon)},
          {"SMTPServer", n.SMTPServer},
          {"SMTPPort", std::to_string(n.SMTPPort)},
          {"SMTPFrom", n.SMTPFrom},
          {"SMTPLogon", n.SMTPLogon},
          {"SMTPPwd", n.SMTPPwd},
          {"SiteDescription", n.SiteDescription},
          {"SiteID", n.SiteID},
          {"CreateDestFolder", b(n.CreateDestFolder)},
          {"IDDisk", b(n.IDDisk)},
          {"ErrorEmails", n.ErrorEmails},
          {"LogEmails", n.LogEmails},
          {"DiskChangeEmails", n.DiskChangeEmails},
          {"IDDiskMon", b(n.IDDiskMon)},
          {"IDDiskTue", b(n.IDDiskTue)},
          {"IDDiskWed", b(n.IDDiskWed)},
          {"IDDiskThur", b(n.IDDiskThur)},
          {"IDDiskFri", b(n.IDDiskFri)},
          {"IDDiskSat", b(n.IDDiskSat)},
          {"IDDiskSun", b(n.IDDiskSun)},
          {"MondayID", n.MondayID},
          {"TuesdayID", n.TuesdayID},
          {"WednesdayID", n.WednesdayID},
          {"ThursdayID", n.ThursdayID},
          {"FridayID", n.FridayID},
          {"SaturdayID", n.SaturdayID},
          {"SundayID", n.SundayID},
          {"BackupCompleteEmails", n.BackupCompleteEmails},
          {"MetricsFile", n.MetricsFile},
          {"PingURL", n.PingURL}};
}

// What a control shows, in the form Stored gives its field.
std::string Shown(QObject& dlg, const char* control) {
  if (auto* c = dlg.findChild<QCheckBox*>(control)) return c->isChecked() ? "1" : "0";
  auto* e = dlg.findChild<QLineEdit*>(control);
  EXPECT_NE(e, nullptr) << control;
  return e ? e->text().toLocal8Bit().toStdString() : "";
}

std::map<std::string, std::string> LoadedFromFile() {
  TNotifier n;
  LoadSettings(n);
  return Stored(n);
}

// Every field away from its default, no two alike, so a control bound to the wrong field shows.
TNotifier Customised() {
  TNotifier n;
  n.SMTPServer = "mail.example.org";
  n.SMTPPort = 587;
  n.SMTPFrom = "backup@example.org";
  n.SiteDescription = "Head office";
  n.SiteID = "HQ1";
  n.SMTPRequiresLogon = true;
  n.SMTPLogon = "operator";
  n.SMTPPwd = "s\xc3\xa9same";  // the windows speak UTF-8
  n.IDDisk = false;
  n.IDDiskMon = n.IDDiskWed = n.IDDiskFri = false;
  n.IDDiskTue = n.IDDiskThur = n.IDDiskSat = n.IDDiskSun = true;
  std::string TNotifier::*const ids[] = {
      &TNotifier::MondayID, &TNotifier::TuesdayID,  &TNotifier::WednesdayID, &TNotifier::ThursdayID,
      &TNotifier::FridayID, &TNotifier::SaturdayID, &TNotifier::SundayID};
  for (int d = 0; d < 7; ++d) n.*ids[d] = "Rotation " + std::to_string(d + 1);
  n.ErrorEmails = "errors@example.org";
  n.LogEmails = "logs@example.org";
  n.DiskChangeEmails = "disks@example.org";
  n.BackupCompleteEmails = "done@example.org";
  n.MetricsFile = "/var/lib/node_exporter/tavik.prom";
  n.PingURL = "https://hc.example.org/ping/abc";
  n.CreateDestFolder = false;
  return n;
}

// Runs inside the modal loop of the next dialog opened, or fails the test if none opens.
void WhenModal(std::function<void(TFrmMailSettings&)> act) {
  QTimer::singleShot(0, [act] {
    auto* dlg = qobject_cast<TFrmMailSettings*>(QApplication::activeModalWidget());
    if (!dlg) {
      ADD_FAILURE() << "no settings dialog open";
      return;
    }
    act(*dlg);
    // Whatever the action left open must not keep the test waiting.
    if (dlg->isVisible()) dlg->reject();
  });
}

class MailSettings : public ::testing::Test {
 protected:
  MailSettings() { test::QtApp(); }
  bool FileExists() const { return std::filesystem::exists(SettingsFileName()); }
  // The account fields a valid OK or Test needs.
  static void FillAccount(QObject& dlg, const std::string& port = "25") {
    Edit(dlg, "EbSMTPHost")->setText("127.0.0.1");
    Edit(dlg, "EbPort")->setText(QString::fromStdString(port));
    Edit(dlg, "EBReply")->setText("backup@example.org");
  }

  TSealedEnv env;
  TScriptedUi ui;
};

TEST_F(MailSettings, WithoutSettingsFileShowsTheDefaults) {
  TFrmMailSettings dlg;
  EXPECT_EQ(dlg.windowTitle(), "Email Settings");
  auto* pager = Child<QTabWidget>(dlg, "AdvOfficePager1");
  ASSERT_EQ(pager->count(), 2);
  EXPECT_EQ(pager->tabText(0), "Mail Settings");
  EXPECT_EQ(pager->tabText(1), "Notifications");
  EXPECT_EQ(pager->currentIndex(), 0);
  EXPECT_TRUE(dlg.NotSaved());

  TNotifier defaults;
  defaults.SMTPPort = 25;
  defaults.IDDisk = defaults.CreateDestFolder = true;
  defaults.IDDiskMon = defaults.IDDiskTue = defaults.IDDiskWed = defaults.IDDiskThur = defaults.IDDiskFri =
      true;
  defaults.MondayID = defaults.ThursdayID = defaults.SundayID = "Disk1";
  defaults.TuesdayID = defaults.FridayID = "Disk2";
  defaults.WednesdayID = defaults.SaturdayID = "Disk3";
  const auto expected = Stored(defaults);
  for (const TBinding& b : Bindings) EXPECT_EQ(Shown(dlg, b.control), expected.at(b.field)) << b.control;

  for (const char* name : {"Euser", "EPass"}) EXPECT_FALSE(Edit(dlg, name)->isEnabled()) << name;
  for (const char* name : {"lblUser", "lblPass"}) EXPECT_FALSE(Child<QLabel>(dlg, name)->isEnabled()) << name;
  EXPECT_FALSE(FileExists());  // opening reads, never writes
}

TEST_F(MailSettings, CaptionsHintsAndPasswordEcho) {
  TFrmMailSettings dlg;
  const std::pair<const char*, const char*> labels[] = {
      {"Label1", "Site Settings"},
      {"Label2", "Site Name:"},
      {"Label3", "Site ID:"},
      {"Label38", "Email Settings"},
      {"Label39", "SMTP Host (Mail server IP address):"},
      {"Label40", "SMTP Port (normally 25):"},
      {"Label41", "Default Reply Email Address:"},
      {"lblUser", "User:"},
      {"lblPass", "Password:"},
      {"Label4", "Send errors to: (use commas to separate emails):"},
      {"Label5", "Send log always to: (use commas to separate emails):"},
      {"Label6", "Send disk change alerts to: (use commas to separate emails):"},
      {"Label8", "Backup complete message"},
  };
  for (auto [name, text] : labels) EXPECT_EQ(Child<QLabel>(dlg, name)->text(), text) << name;
  EXPECT_TRUE(Child<QLabel>(dlg, "Label1")->font().bold());
  EXPECT_TRUE(Child<QLabel>(dlg, "Label38")->font().bold());
  auto* explain = Child<QLabel>(dlg, "Label7");
  EXPECT_TRUE(explain->wordWrap());
  EXPECT_TRUE(explain->text().startsWith("Whenever the program is run on the days"));
  EXPECT_TRUE(explain->text().endsWith("it will create the current days ID on it."));

  const std::pair<const char*, const char*> boxes[] = {
      {"ChkBox", "My server requires me to logon to send mail"},
      {"ChkCreatDest", "Try and create destination folder"},
      {"ChkID", "ID label disks and check to see if disk is changed"},
      {"ChkMonday", "Monday"},
      {"ChkSunday", "Sunday"},
  };
  for (auto [name, text] : boxes) EXPECT_EQ(Check(dlg, name)->text(), text) << name;
  EXPECT_EQ(Check(dlg, "ChkCreatDest")->toolTip(),
            "This allows you to put different volumnes in different folders");
  const std::pair<const char*, const char*> buttons[] = {
      {"Button1", "&Test"}, {"btnOK", "&OK"}, {"btnCancel", "&Cancel"}};
  for (auto [name, text] : buttons) EXPECT_EQ(Child<QPushButton>(dlg, name)->text(), text) << name;

  auto* pass = Edit(dlg, "EPass");
  EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
  EXPECT_EQ(pass->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, pass), '*');
  EXPECT_GE(dlg.width(), 459);
  EXPECT_GE(dlg.height(), 446);
}

// Tab walks each page in the order the users of the old form know, not in screen order.
TEST_F(MailSettings, TabOrderOfEachPage) {
  TFrmMailSettings dlg;
  Check(dlg, "ChkBox")->setChecked(true);  // user and password take part only when enabled
  auto walk = [&](const char* page) {
    QWidget* p = Child<QWidget>(dlg, page);
    QStringList names;
    QWidget* w = &dlg;
    do {
      w = w->nextInFocusChain();
      if (p->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus)) names << w->objectName();
    } while (w != &dlg);
    return names.join(",").toStdString();
  };
  EXPECT_EQ(
      walk("MailSettingsPage"),
      "ChkBox,EbSMTPHost,EbPort,CbSecurity,EdCAFile,btnCAFile,EdFingerprint,btnFingerprint,EBReply,Euser,"
      "EPass,"
      "EdDescription,EdSiteID,ChkCreatDest");
  // The buttons stand below both pages, last in the chain.
  for (const char* button : {"Button1", "btnOK", "btnCancel"}) {
    EXPECT_FALSE(Child<QWidget>(dlg, "MailSettingsPage")->isAncestorOf(Child<QWidget>(dlg, button)))
        << button;
    EXPECT_FALSE(Child<QWidget>(dlg, "NotificationsPage")->isAncestorOf(Child<QWidget>(dlg, button)))
        << button;
  }
  EXPECT_EQ(walk("NotificationsPage"),
            "ChkID,EdAlerts,EdLogEmails,EdDiskChange,ChkMonday,ChkTuesday,ChkWednesday,ChkThursday,ChkFriday,"
            "ChkSaturday,ChkSunday,EdIDMon,EdIDTue,EdIDWed,EdIDThur,EdIDFri,EdIDSat,EdIDSun,EdBackupComplete,"
            "EdMetricsFile,"
            "EdPingURL");
}

TEST_F(MailSettings, ShowsTheStoredSettings) {
  SaveSettings(Customised());
  TFrmMailSettings dlg;
  const auto expected = Stored(Customised());
  for (const TBinding& b : Bindings) EXPECT_EQ(Shown(dlg, b.control), expected.at(b.field)) << b.control;
  EXPECT_TRUE(Edit(dlg, "Euser")->isEnabled());
  EXPECT_TRUE(Child<QLabel>(dlg, "lblPass")->isEnabled());
}

TEST_F(MailSettings, OkSavesEveryControlToItsField) {
  TFrmMailSettings dlg;
  std::map<std::string, std::string> entered;
  int i = 0;
  for (const TBinding& b : Bindings) {
    if (auto* c = dlg.findChild<QCheckBox*>(b.control)) {
      c->setChecked(!c->isChecked());
      entered[b.field] = c->isChecked() ? "1" : "0";
    } else {
      const std::string field = b.field;
      const std::string v = field == "SMTPPort"  ? "2525"
                            : field == "PingURL" ? "http://127.0.0.1:9/v" + std::to_string(++i)
                                                 : "v" + std::to_string(++i);
      Edit(dlg, b.control)->setText(QString::fromStdString(v));
      entered[b.field] = v;
    }
  }
  Click(dlg, "btnOK");
  EXPECT_TRUE(ui.asked.empty()) << ui.asked.front().text;
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_FALSE(dlg.NotSaved());
  EXPECT_EQ(LoadedFromFile(), entered);
}

struct TValidationCase {
  const char* host;
  const char* port;
  const char* reply;
  const char* warning;  // nullptr: accepted
};

// Host before port before reply address; the port is a whole number other than 0 that the data
// model can hold, and nothing else is checked.
TEST_F(MailSettings, OkValidatesInOrderAndSavesNothingOnAWarning) {
  const char* const host = "You need to set the SMTP host address.";
  const char* const port = "SMTP port is required. Normally this is 25.";
  const char* const reply = "Address from is required.";
  const TValidationCase cases[] = {
      {"", "25", "a@b", host},
      {"", "0", "", host},
      {"mail", "0", "a@b", port},
      {"mail", "abc", "a@b", port},
      {"mail", "", "a@b", port},
      {"mail", "0", "", port},
      {"mail", "2147483648", "a@b", port},
      {"mail", "-2147483649", "a@b", port},
      {"mail", "25", "", reply},
      {"mail", "70000", "a@b", nullptr},
      {" ", "2147483647", " ", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + "|" + c.port + "|" + c.reply);
    TSealedEnv fresh;
    TScriptedUi script;
    TFrmMailSettings dlg;
    Edit(dlg, "EbSMTPHost")->setText(c.host);
    Edit(dlg, "EbPort")->setText(c.port);
    Edit(dlg, "EBReply")->setText(c.reply);
    Click(dlg, "btnOK");
    if (c.warning) {
      ASSERT_EQ(script.asked.size(), 1u);
      EXPECT_EQ(script.asked[0].kind, "warning");
      EXPECT_EQ(script.asked[0].text, c.warning);
      EXPECT_FALSE(FileExists());
      EXPECT_TRUE(dlg.NotSaved());
      EXPECT_NE(dlg.result(), QDialog::Accepted);
      EXPECT_EQ(Edit(dlg, "EbPort")->text(), c.port);  // the input stays for the user to correct
    } else {
      EXPECT_TRUE(script.asked.empty());
      EXPECT_FALSE(dlg.NotSaved());
      EXPECT_EQ(LoadedFromFile().at("SMTPPort"), c.port);
      EXPECT_EQ(LoadedFromFile().at("SMTPServer"), c.host);
    }
  }
}

// Only the web may be pinged; an empty URL turns the pings off.
TEST_F(MailSettings, OkRefusesAPingUrlThatIsNotOfTheWeb) {
  const struct {
    const char* url;
    bool accepted;
  } cases[] = {{"file:///etc/passwd", false},
               {"hc.example.org/ping", false},
               {"https://", false},
               {"http://a b", false},
               {"", true},
               {"HTTPS://hc.example.org/p", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    TSealedEnv fresh;
    TScriptedUi script;
    TFrmMailSettings dlg;
    Edit(dlg, "EbSMTPHost")->setText("mail");
    Edit(dlg, "EBReply")->setText("a@b");
    Edit(dlg, "EdPingURL")->setText(c.url);
    Click(dlg, "btnOK");
    if (c.accepted) {
      EXPECT_TRUE(script.asked.empty());
      EXPECT_EQ(LoadedFromFile().at("PingURL"), c.url);
    } else {
      ASSERT_EQ(script.asked.size(), 1u);
      EXPECT_EQ(script.asked[0].text,
                "The ping URL must start with http:// or https:// (leave it empty for no pings).");
      EXPECT_FALSE(FileExists());
    }
  }
}

TEST_F(MailSettings, UncheckingLogonEmptiesAndDisablesUserAndPassword) {
  SaveSettings(Customised());
  TFrmMailSettings dlg;
  auto* logon = Check(dlg, "ChkBox");
  logon->click();
  EXPECT_FALSE(logon->isChecked());
  for (const char* name : {"Euser", "EPass"}) {
    EXPECT_EQ(Edit(dlg, name)->text(), "") << name;
    EXPECT_FALSE(Edit(dlg, name)->isEnabled()) << name;
  }
  for (const char* name : {"lblUser", "lblPass"}) EXPECT_FALSE(Child<QLabel>(dlg, name)->isEnabled()) << name;

  logon->click();
  for (const char* name : {"Euser", "EPass"}) {
    EXPECT_EQ(Edit(dlg, name)->text(), "") << name;
    EXPECT_TRUE(Edit(dlg, name)->isEnabled()) << name;
  }
  for (const char* name : {"lblUser", "lblPass"}) EXPECT_TRUE(Child<QLabel>(dlg, name)->isEnabled()) << name;
}

TEST_F(MailSettings, CancelAndTheFrameCloseSaveNothing) {
  SaveSettings(Customised());
  const std::string before = ReadFile(SettingsFileName());
  for (bool byFrame : {false, true}) {
    TFrmMailSettings dlg;
    dlg.show();
    FillAccount(dlg);
    Edit(dlg, "EdAlerts")->setText("someone@else");
    if (byFrame)
      dlg.close();
    else
      Click(dlg, "btnCancel");
    EXPECT_FALSE(dlg.isVisible()) << byFrame;
    EXPECT_TRUE(dlg.NotSaved()) << byFrame;
    EXPECT_EQ(ReadFile(SettingsFileName()), before) << byFrame;
  }
  EXPECT_TRUE(ui.asked.empty());
}

TEST_F(MailSettings, FailedSaveIsShownAndTheDialogStaysOpen) {
  std::filesystem::create_directories(SettingsFileName());  // a folder where the file belongs
  TFrmMailSettings dlg;
  dlg.show();
  FillAccount(dlg);
  Click(dlg, "btnOK");
  ASSERT_EQ(ui.asked.size(), 1u);
  EXPECT_EQ(ui.asked[0].kind, "error");
  EXPECT_EQ(ui.asked[0].text, "Unable to write to " + SettingsFileName() + ": not a regular file");
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_TRUE(dlg.NotSaved());
}

TEST_F(MailSettings, ShowMailSettingsTellsWhetherTheUserSaved) {
  WhenModal([](TFrmMailSettings& dlg) { Click(dlg, "btnCancel"); });
  EXPECT_FALSE(ShowMailSettings());
  EXPECT_FALSE(FileExists());

  WhenModal([](TFrmMailSettings& dlg) {
    FillAccount(dlg, "2525");
    Click(dlg, "btnOK");
  });
  EXPECT_TRUE(ShowMailSettings());
  EXPECT_EQ(LoadedFromFile().at("SMTPPort"), "2525");
}

TEST_F(MailSettings, OpensFromTheMainWindowMenu) {
  TFrmMain main(TSwitches{});
  auto* settings = Child<QAction>(main, "Settings1");
  ASSERT_NE(settings, nullptr);
  bool opened = false;
  WhenModal([&](TFrmMailSettings& dlg) {
    opened = true;
    EXPECT_TRUE(dlg.isModal());
    FillAccount(dlg, "587");
    Click(dlg, "btnOK");
  });
  settings->trigger();
  EXPECT_TRUE(opened);
  EXPECT_EQ(LoadedFromFile().at("SMTPPort"), "587");
}

// A loopback port nobody listens on: bound once by the system, then let go.
int UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
  ::close(fd);
  return ntohs(a.sin_port);
}

// The test mail goes out with the edited account, not the stored one, and the file stays as it was,
// also when the dialog is then cancelled. A cancelled prompt sends to the previous recipient.
TEST_F(MailSettings, TestMailReachesARealServerWithTheEditedAccount) {
  test::TAioSmtpServer server(test::TAioSmtpServer::TAccount{"backup", "s3cret pass"});
  server.Start();
  SetNotifierSmtpTimeout(10000);
  SaveSettings(Customised());
  const std::string before = ReadFile(SettingsFileName());

  TFrmMailSettings dlg;
  dlg.show();
  FillAccount(dlg, std::to_string(server.Port()));
  Edit(dlg, "Euser")->setText("backup");
  Edit(dlg, "EPass")->setText("s3cret pass");
  ui.inputAnswers = {{true, "ann@example.org"}, {false, "ignored@example.org"}};
  Click(dlg, "Button1");
  Click(dlg, "Button1");

  std::vector<std::string> asked;
  for (const auto& a : ui.asked) asked.push_back(a.kind + ":" + a.text);
  const std::string prompt = "input:Test Email|Send Test Message to:|backup@example.org";
  EXPECT_EQ(asked, (std::vector<std::string>{prompt, "info:Message sent.", prompt, "info:Message sent."}));
  const auto mails = server.Messages();
  ASSERT_EQ(mails.size(), 2u);
  for (const auto& m : mails) {
    EXPECT_EQ(m.mailFrom, "backup@example.org");
    EXPECT_EQ(m.rcptTos, std::vector<std::string>{"ann@example.org"});
    const test::TParsedMail parsed = test::ParseMailWithPython(m.raw);
    EXPECT_EQ(parsed.Header("Subject"), "[TAVIK] Test Message");
    std::string html;
    for (const auto& part : parsed.parts)
      if (part.contentType == "text/html") html += part.payload;
    EXPECT_NE(html.find("Test message from Kopra Agent"), std::string::npos);
  }
  EXPECT_EQ(ReadFile(SettingsFileName()), before);
  EXPECT_TRUE(dlg.isVisible());

  Click(dlg, "btnCancel");
  EXPECT_EQ(ReadFile(SettingsFileName()), before);
  EXPECT_TRUE(dlg.NotSaved());
}

// Before any confirmed prompt there is nobody to send to: the client's refusal reaches the error
// box and the dialog stays open.
TEST_F(MailSettings, FirstTestWithTheCancelledPromptGoesToNobody) {
  test::TAioSmtpServer server;
  server.Start();
  SetNotifierSmtpTimeout(10000);
  TFrmMailSettings dlg;
  dlg.show();
  FillAccount(dlg, std::to_string(server.Port()));
  Click(dlg, "Button1");
  ASSERT_EQ(ui.asked.size(), 2u);
  EXPECT_EQ(ui.asked[0].kind, "input");
  EXPECT_EQ(ui.asked[1].kind, "warning");
  EXPECT_EQ(ui.asked[1].text, "\"SendTo\" field not specified.");
  EXPECT_TRUE(server.Messages().empty());
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_FALSE(FileExists());
}

// The send's own warning ends the action quietly; validation stops a test before the prompt.
TEST_F(MailSettings, TestMailWarningsEndTheActionQuietly) {
  TFrmMailSettings dlg;
  dlg.show();
  const int port = UnusedPort();
  FillAccount(dlg, std::to_string(port));
  ui.inputAnswers = {{true, "ann@example.org"}};
  Click(dlg, "Button1");
  ASSERT_EQ(ui.asked.size(), 2u);
  EXPECT_EQ(ui.asked[1].kind, "warning");
  // The reason as the send gives it, no full stop added.
  EXPECT_EQ(ui.asked[1].text,
            "Failed to connect to host 127.0.0.1 on port " + std::to_string(port) + ": Connection refused");
  EXPECT_TRUE(dlg.isVisible());

  ui.asked.clear();
  Edit(dlg, "EBReply")->clear();
  Click(dlg, "Button1");
  ASSERT_EQ(ui.asked.size(), 1u);
  EXPECT_EQ(ui.asked[0].kind + ":" + ui.asked[0].text, "warning:Address from is required.");
  EXPECT_FALSE(FileExists());
}

// "Connection security" below the port: shown from the file, saved by OK with the keys the dialog
// does not show, and a secure choice while the port is 25 moves it to that choice's usual port.
TEST_F(MailSettings, ConnectionSecurityRoundTripsAndPicksItsUsualPort) {
  TNotifier stored = Customised();
  stored.SMTPSecurity = 2;
  stored.SMTPCAFile = "/etc/tavik/relay-ca.pem";
  stored.SMTPFingerprint = "AB:" + std::string(62, 'c');
  SaveSettings(stored);
  {
    TFrmMailSettings dlg;
    auto* security = Child<QComboBox>(dlg, "CbSecurity");
    EXPECT_EQ(Child<QLabel>(dlg, "lblSecurity")->text(), "Connection security:");
    EXPECT_EQ(security->count(), 3);
    EXPECT_EQ(security->itemText(0) + "," + security->itemText(1) + "," + security->itemText(2),
              "None,STARTTLS,SSL/TLS");
    EXPECT_EQ(security->currentIndex(), 2);
    EXPECT_EQ(Edit(dlg, "EbPort")->text(), "587");  // loading never moves the port
    EXPECT_EQ(Child<QLabel>(dlg, "Label40")->text(), "SMTP Port (normally 465):");
    EXPECT_EQ(Edit(dlg, "EdCAFile")->text(), "/etc/tavik/relay-ca.pem");
    Click(dlg, "btnOK");
  }
  TNotifier back;
  LoadSettings(back);
  EXPECT_EQ(back.SMTPSecurity, 2);
  EXPECT_EQ(back.SMTPCAFile, "/etc/tavik/relay-ca.pem");
  EXPECT_EQ(back.SMTPFingerprint, "AB:" + std::string(62, 'c'));

  const struct {
    const char* portBefore;
    int pick;
    const char* portAfter;
  } picks[] = {{"25", 2, "465"},    {"25", 1, "587"},  {" 25", 2, "465"},
               {"2525", 2, "2525"}, {"465", 1, "465"}, {"25", 0, "25"}};
  TFrmMailSettings dlg;
  auto* security = Child<QComboBox>(dlg, "CbSecurity");
  for (const auto& p : picks) {
    Edit(dlg, "EbPort")->setText(p.portBefore);
    security->setCurrentIndex(p.pick);
    emit security->activated(p.pick);
    EXPECT_EQ(Edit(dlg, "EbPort")->text().toStdString(), p.portAfter) << p.portBefore << " " << p.pick;
  }
  security->setCurrentIndex(1);
  EXPECT_EQ(Child<QLabel>(dlg, "Label40")->text(), "SMTP Port (normally 587):");
  Click(dlg, "btnOK");
  LoadSettings(back);
  EXPECT_EQ(back.SMTPSecurity, 1);
}

// A stored security value this program does not know is shown as such, and OK refuses to save it
// over (as None it would have lowered the connection to plain SMTP unnoticed).
TEST_F(MailSettings, UnknownStoredSecurityIsAnErrorNotNone) {
  for (const char* stored : {"7", "tls"}) {
    SCOPED_TRACE(stored);
    SaveSettings(Customised());
    ASSERT_TRUE(WriteProfileString(SettingsFileName(), "Email Settings", "SMTPSecurity", stored));
    const std::string before = test::ReadFile(SettingsFileName());
    ui.asked.clear();
    TFrmMailSettings dlg;
    auto* security = Child<QComboBox>(dlg, "CbSecurity");
    EXPECT_EQ(security->currentIndex(), 3);
    EXPECT_THAT(security->currentText().toStdString(), ::testing::StartsWith("Unknown"));
    Click(dlg, "btnOK");
    ASSERT_EQ(ui.asked.size(), 1u);
    EXPECT_EQ(ui.asked[0].kind + ":" + ui.asked[0].text,
              "warning:The stored connection security is unknown to this program: choose None, STARTTLS or "
              "SSL/TLS.");
    EXPECT_TRUE(dlg.NotSaved());
    EXPECT_TRUE(test::ReadFile(SettingsFileName()) == before);
  }
}

// The test button goes the same way as the run's mails, so a wrong certificate shows its reason.
TEST_F(MailSettings, TestMailShowsWhyTheConnectionIsNotTrusted) {
  const test::TTestCerts certs;
  test::TAioSmtpServer server(std::nullopt, test::TAioSmtpServer::TTls{test::TAioSmtpServer::TTls::Implicit,
                                                                       certs.selfPem, certs.selfKey});
  server.Start();
  TFrmMailSettings dlg;
  dlg.show();
  FillAccount(dlg, std::to_string(server.Port()));
  Edit(dlg, "EbSMTPHost")->setText("localhost");
  Child<QComboBox>(dlg, "CbSecurity")->setCurrentIndex(2);
  ui.inputAnswers = {{true, "ann@example.org"}};
  Click(dlg, "Button1");
  ASSERT_EQ(ui.asked.size(), 2u);
  EXPECT_EQ(ui.asked[1].kind + ":" + ui.asked[1].text,
            "warning:Failed to connect to host localhost on port " + std::to_string(server.Port()) +
                ": TLS certificate for localhost not trusted: self-signed certificate");
  EXPECT_TRUE(server.Messages().empty());
}

// Saved as root for a service account, the file stays the account's: owner, group and mode.
TEST_F(MailSettings, OkKeepsTheFilesOwnerGroupAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the file to another account";
  SaveSettings(Customised());
  const std::string file = SettingsFileName();
  ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  TFrmMailSettings dlg;
  Edit(dlg, "EdSiteID")->setText("NEW");
  Click(dlg, "btnOK");
  ASSERT_FALSE(dlg.NotSaved());
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  TNotifier back;
  LoadSettings(back);
  EXPECT_EQ(back.SiteID, "NEW");
}

// "Fetch" shows the certificate the server presents, over STARTTLS and SSL/TLS alike, and fills
// the fingerprint only when the user accepts it.
TEST_F(MailSettings, FetchShowsTheServersCertificateAndFillsTheFingerprintOnlyWhenAccepted) {
  const test::TTestCerts certs;
  for (auto mode : {test::TAioSmtpServer::TTls::StartTls, test::TAioSmtpServer::TTls::Implicit}) {
    SCOPED_TRACE(mode == test::TAioSmtpServer::TTls::StartTls ? "STARTTLS" : "SSL/TLS");
    test::TAioSmtpServer server(std::nullopt, test::TAioSmtpServer::TTls{mode, certs.selfPem, certs.selfKey});
    server.Start();
    TFrmMailSettings dlg;
    FillAccount(dlg, std::to_string(server.Port()));
    Edit(dlg, "EbSMTPHost")->setText("localhost");
    Child<QComboBox>(dlg, "CbSecurity")
        ->setCurrentIndex(mode == test::TAioSmtpServer::TTls::StartTls ? 1 : 2);
    ui.asked.clear();
    ui.inputAnswers = {{false, ""}};
    Click(dlg, "btnFingerprint");
    ASSERT_EQ(ui.asked.size(), 1u);
    EXPECT_EQ(ui.asked[0].kind, "input");
    EXPECT_THAT(ui.asked[0].text, ::testing::HasSubstr("CN = localhost"));
    EXPECT_THAT(ui.asked[0].text, ::testing::EndsWith("|" + certs.selfFingerprint));  // the field offered
    EXPECT_TRUE(Edit(dlg, "EdFingerprint")->text().isEmpty()) << "filled without being accepted";

    ui.inputAnswers = {{true, certs.selfFingerprint}};
    Click(dlg, "btnFingerprint");
    EXPECT_EQ(Edit(dlg, "EdFingerprint")->text().toStdString(), certs.selfFingerprint);
    EXPECT_TRUE(server.Messages().empty());
  }
}

}  // namespace
}  // namespace tavik
