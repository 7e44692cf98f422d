#include "notify/uNotifier.h"

#include <cerrno>
#include <charconv>

#include "QorvLib/uQorvCrypt.h"
#include "QorvLib/uQorvFiles.h"
#include "platform/uErrors.h"
#include "platform/uFiles.h"
#include "platform/uIniFile.h"

namespace tavik {

bool ValidPingUrl(const std::string& url) {
  if (url.empty()) return true;
  for (const char* scheme : {"http://", "https://"}) {
    const std::string s = scheme;
    if (url.size() <= s.size() || !SameText(url.substr(0, s.size()), s)) continue;
    const char first = url[s.size()];
    return first != '/' && first != '?' && first != '#' && url.find_first_of(" \t\r\n") == std::string::npos;
  }
  return false;
}

namespace {

const char* const EmailSection = "Email Settings";
const char* const SettingsSection = "Settings";
const char* const NotificationsSection = "Notifications";
const char* const MonitoringSection = "Monitoring";

constexpr uint16_t ServerKey = 414;
constexpr uint16_t LogonKey = 5439;
constexpr uint16_t PwdKey = 431;

// One weekday of the disk schedule: its switch and the disk identity expected that day.
struct TDay {
  const char* flagKey;
  bool TNotifier::*flag;
  bool flagDefault;
  const char* idKey;
  std::string TNotifier::*id;
  const char* idDefault;
};

// Monday first: the order both the load and the save walk the schedule in.
const TDay Days[] = {
    {"IDDiskMon", &TNotifier::IDDiskMon, true, "MondayID", &TNotifier::MondayID, "Disk1"},
    {"IDDiskTue", &TNotifier::IDDiskTue, true, "TuesdayID", &TNotifier::TuesdayID, "Disk2"},
    {"IDDiskWed", &TNotifier::IDDiskWed, true, "WednesdayID", &TNotifier::WednesdayID, "Disk3"},
    {"IDDiskThur", &TNotifier::IDDiskThur, true, "ThursdayID", &TNotifier::ThursdayID, "Disk1"},
    {"IDDiskFri", &TNotifier::IDDiskFri, true, "FridayID", &TNotifier::FridayID, "Disk2"},
    {"IDDiskSat", &TNotifier::IDDiskSat, false, "SaturdayID", &TNotifier::SaturdayID, "Disk3"},
    {"IDDiskSun", &TNotifier::IDDiskSun, false, "SundayID", &TNotifier::SundayID, "Disk1"},
};

struct TTextKey {
  const char* key;
  std::string TNotifier::*field;
};

const TTextKey SiteKeys[] = {
    {"SMTPFrom", &TNotifier::SMTPFrom},
    {"SiteDescription", &TNotifier::SiteDescription},
    {"SiteID", &TNotifier::SiteID},
};

const TTextKey RecipientKeys[] = {
    {"ErrorEmails", &TNotifier::ErrorEmails},
    {"DiskChangeEmails", &TNotifier::DiskChangeEmails},
    {"LogEmails", &TNotifier::LogEmails},
    {"BackupCompleteEmails", &TNotifier::BackupCompleteEmails},
};

// The whole text must be the number: trailing garbage makes it malformed, not a shorter number.
template <typename T>
bool ParseWhole(const char* b, const char* e, T& value, int base) {
  if (b == e) return false;
  auto [ptr, ec] = std::from_chars(b, e, value, base);
  return ec == std::errc() && ptr == e;
}

bool ParseInt32(const std::string& text, int32_t& value) {
  const char* b = text.data();
  const char* e = b + text.size();
  if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    b += 2;
  else if (!text.empty() && text[0] == '$')
    b += 1;
  if (b != text.data()) {
    // Hexadecimal spells the 32 bits themselves, so "0xFFFFFFFF" is -1 as it always was.
    uint64_t bits = 0;
    if (!ParseWhole(b, e, bits, 16) || bits > 0xFFFFFFFFu) return false;
    value = static_cast<int32_t>(static_cast<uint32_t>(bits));
    return true;
  }
  if (b != e && *b == '+') ++b;
  if (b != text.data() && b != e && *b == '-') return false;  // "+-5" is no number
  return ParseWhole(b, e, value, 10);
}

bool ReadProfileBool(const std::string& file, const char* section, const char* key, bool defaultValue) {
  return ReadProfileInt(file, section, key, defaultValue ? 1 : 0) != 0;
}

// An empty or missing value leaves the field as it was.
void ReadScrambled(const std::string& file, const char* key, uint16_t scrambleKey, std::string& field) {
  const std::string text = ReadProfileString(file, EmailSection, key, "");
  if (!text.empty()) field = UnscrambleText(text, scrambleKey);
}

class TSettingsWriter {
 public:
  explicit TSettingsWriter(std::string file) : file_(std::move(file)) {}
  void Text(const char* section, const char* key, const std::string& value) const {
    if (std::string why; !WriteProfileString(file_, section, key, value, &why))
      throw EInOutError("Unable to write to " + file_ + ": " + why);
  }
  void Flag(const char* section, const char* key, bool value) const { Text(section, key, value ? "1" : "0"); }
  // A key whose value is its default (empty here) is left out, unless the file already holds it.
  void Optional(const char* section, const char* key, const std::string& value,
                const char* defaultText) const {
    if (value.empty()) {
      const char* absent =
          "\x01"
          "absent";
      if (ReadProfileString(file_, section, key, absent) == absent) return;
      Text(section, key, defaultText);
      return;
    }
    Text(section, key, value);
  }

 private:
  std::string file_;
};

}  // namespace

std::string MailSettingsProblem(const TNotifier& n) {
  if (Trim(n.SMTPServer).empty()) return "No mail server is set (\"SMTPServer\")";
  if (n.SMTPSecurity < 0 || n.SMTPSecurity > 2)
    return "Connection security \"SMTPSecurity\" must be 0 (none), 1 (STARTTLS) or 2 (SSL/TLS)";
  if (n.SMTPSecurity == 0 && (!n.SMTPCAFile.empty() || !n.SMTPFingerprint.empty()))
    return std::string(n.SMTPCAFile.empty() ? "\"SMTPFingerprint\"" : "\"SMTPCAFile\"") +
           " is set but connection security \"SMTPSecurity\" is 0 (none): nothing is sent in plain";
  return {};
}

std::string SettingsFolderPath() {
  return IncludeTrailingSeparator(SpecialFolderPath(TSpecialFolder::CommonAppData)) + "Tavik" + PathDelim;
}

std::string SettingsFolder() {
  const std::string folder = SettingsFolderPath();
  ForceFolders(folder);  // a failure shows up as defaults on read and an error on the first write
  return folder;
}

std::string SettingsFilePath() {
  return SettingsFolderPath() + "TavikBackup.ini";
}

std::string SettingsFileName() {
  SettingsFolder();
  return SettingsFilePath();
}

// Reading creates nothing: a folder that is not there reads as defaults, and a check leaves no
// trace on the folders above it.
std::string SettingsFileProblem() {
  const std::string file = SettingsFilePath();
  TFile f = TFile::OpenRead(file, ShareRead | ShareWrite | ShareDelete);
  int err = f.Error();
  if (!f.IsOpen()) {
    if (MissingFileCode(err)) return {};
  } else {
    char byte;
    if (f.Read(&byte, 1) < 0) err = f.Error();
  }
  return err ? "Cannot read " + file + ": " + SysErrorMessage(err) : std::string();
}

int32_t ReadProfileInt(const std::string& file, const std::string& section, const std::string& key,
                       int32_t defaultValue) {
  int32_t value = 0;
  return ParseInt32(ReadProfileString(file, section, key, ""), value) ? value : defaultValue;
}

void LoadSettings(TNotifier& n) {
  const std::string file = SettingsFilePath();
  ReadScrambled(file, "SMTPServer", ServerKey, n.SMTPServer);
  n.SMTPPort = ReadProfileInt(file, EmailSection, "SMTPPort", 25);
  for (const TTextKey& t : SiteKeys) n.*t.field = ReadProfileString(file, EmailSection, t.key, "");
  n.SMTPRequiresLogon = ReadProfileBool(file, EmailSection, "SMTPRequiresLogon", false);
  if (n.SMTPRequiresLogon) {
    ReadScrambled(file, "SMTPLogon", LogonKey, n.SMTPLogon);
    ReadScrambled(file, "SMTPPwd", PwdKey, n.SMTPPwd);
  }
  // A value that is no number must not read as 0: plain SMTP, the logon readable on the network.
  const std::string security = ReadProfileString(file, EmailSection, "SMTPSecurity", "");
  if (security.empty())
    n.SMTPSecurity = 0;
  else if (!ParseInt32(security, n.SMTPSecurity))
    n.SMTPSecurity = -1;
  n.SMTPCAFile = ReadProfileString(file, EmailSection, "SMTPCAFile", "");
  n.SMTPFingerprint = ReadProfileString(file, EmailSection, "SMTPFingerprint", "");
  n.IDDisk = ReadProfileBool(file, NotificationsSection, "IDDisk", true);
  for (const TDay& d : Days)
    n.*d.flag = ReadProfileBool(file, NotificationsSection, d.flagKey, d.flagDefault);
  n.CreateDestFolder = ReadProfileBool(file, SettingsSection, "CreateDestFolder", true);
  for (const TDay& d : Days) n.*d.id = ReadProfileString(file, NotificationsSection, d.idKey, d.idDefault);
  for (const TTextKey& t : RecipientKeys)
    n.*t.field = ReadProfileString(file, NotificationsSection, t.key, "");
  n.MetricsFile = ReadProfileString(file, MonitoringSection, "MetricsFile", "");
  n.PingURL = ReadProfileString(file, MonitoringSection, "PingURL", "");
  n.VerifyPingURL = ReadProfileString(file, MonitoringSection, "VerifyPingURL", "");
  n.PushgatewayURL = ReadProfileString(file, MonitoringSection, "PushgatewayURL", "");
}

thread_local int TSettingsLock::held_ = 0;

// The folder itself is the lock: nothing new is created in a folder another account may own, and
// every account that can save there can take it.
TSettingsLock::TSettingsLock() {
  if (held_++ > 0) return;
  lock_ = std::make_unique<TFolderLock>(SettingsFolder());  // not held: the save fails and says why
}

TSettingsLock::~TSettingsLock() {
  --held_;
}

void SaveSettings(const TNotifier& n) {
  const TSettingsLock lock;
  const TSettingsWriter w(SettingsFileName());
  w.Text(EmailSection, "SMTPServer", ScrambleText(n.SMTPServer, ServerKey));
  w.Text(EmailSection, "SMTPPort", std::to_string(n.SMTPPort));
  for (const TTextKey& t : SiteKeys) w.Text(EmailSection, t.key, n.*t.field);
  w.Flag(EmailSection, "SMTPRequiresLogon", n.SMTPRequiresLogon);
  // With the logon off the stored account is wiped, whatever the fields still hold.
  w.Text(EmailSection, "SMTPLogon", n.SMTPRequiresLogon ? ScrambleText(n.SMTPLogon, LogonKey) : "");
  w.Text(EmailSection, "SMTPPwd", n.SMTPRequiresLogon ? ScrambleText(n.SMTPPwd, PwdKey) : "");
  // Written only when they say something: a file of someone who never chose a secure transport
  // stays exactly as it always was, and one that held a choice gets the new value, default or not.
  w.Optional(EmailSection, "SMTPSecurity", n.SMTPSecurity == 0 ? "" : std::to_string(n.SMTPSecurity), "0");
  w.Optional(EmailSection, "SMTPCAFile", n.SMTPCAFile, "");
  w.Optional(EmailSection, "SMTPFingerprint", n.SMTPFingerprint, "");
  w.Flag(SettingsSection, "CreateDestFolder", n.CreateDestFolder);
  w.Flag(NotificationsSection, "IDDisk", n.IDDisk);
  for (const TDay& d : Days) w.Flag(NotificationsSection, d.flagKey, n.*d.flag);
  for (const TDay& d : Days) w.Text(NotificationsSection, d.idKey, n.*d.id);
  for (const TTextKey& t : RecipientKeys) w.Text(NotificationsSection, t.key, n.*t.field);
  // Opt-in: a file of someone who never set them gains no section.
  w.Optional(MonitoringSection, "MetricsFile", n.MetricsFile, "");
  w.Optional(MonitoringSection, "PingURL", n.PingURL, "");
  w.Optional(MonitoringSection, "VerifyPingURL", n.VerifyPingURL, "");
  w.Optional(MonitoringSection, "PushgatewayURL", n.PushgatewayURL, "");
}

}  // namespace tavik
