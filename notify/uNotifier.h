#pragma once
// The notification settings: mail account, site, recipient lists and the weekday disk schedule,
// plus the mail in hand. Every load reads the file anew; nothing is cached between objects.
#include <cstdint>
#include <memory>
#include <string>

namespace tavik {

class TFolderLock;

// Fields persisted in the settings file carry their key's name. The send operations live in
// their own unit; this class stays a plain holder they extend.
class TNotifier {
 public:
  std::string LastError;
  std::string Body;
  std::string Subject;
  std::string SiteDescription;
  std::string SiteID;
  std::string SMTPFrom;
  std::string SMTPLogon;
  int32_t SMTPPort = 0;
  std::string SMTPPwd;
  bool SMTPRequiresLogon = false;
  std::string SMTPServer;
  std::string SendTo;
  bool IDDisk = false;
  std::string DiskChangeEmails;
  std::string ErrorEmails;
  std::string LogEmails;
  bool IDDiskMon = false;
  bool IDDiskThur = false;
  bool IDDiskWed = false;
  bool IDDiskSun = false;
  bool IDDiskSat = false;
  bool IDDiskFri = false;
  bool IDDiskTue = false;
  std::string MondayID;
  std::string ThursdayID;
  std::string SaturdayID;
  std::string SundayID;
  std::string WednesdayID;
  std::string TuesdayID;
  std::string FridayID;
  std::string BackupCompleteEmails;
  bool CreateDestFolder = false;
  // Transport security, "Email Settings" keys after the others: 0 plain, 1 STARTTLS, 2 SSL/TLS (any
  // other value, -1 for one that is no number, sends nothing); a PEM file of extra trusted
  // certificates; the SHA-256 fingerprint of the one certificate to accept.
  int32_t SMTPSecurity = 0;
  std::string SMTPCAFile;
  std::string SMTPFingerprint;
  // Monitoring, section "Monitoring", each off when empty: the file replaced with the run's
  // metrics at each run's end, the address a run pings at its start and end, the one a read-back
  // (--verify) pings, and the Pushgateway the metrics are pushed to at each run's end.
  std::string MetricsFile;
  std::string PingURL;
  std::string VerifyPingURL;
  std::string PushgatewayURL;

  bool SendMail(const std::string& attachmentPath);
  bool SendTestMail(bool silent);
};

// A PingURL that can be stored: empty (no pings), or http:// or https:// with a host and no blank.
bool ValidPingUrl(const std::string& url);

// The all-users folder of the settings file, with its trailing separator. Created when missing;
// a failure there is not reported here: reads then give the defaults and the first write fails.
std::string SettingsFolder();
// SettingsFolder followed by "TavikBackup.ini".
std::string SettingsFileName();
// The same two without creating anything, for telling where the files are.
std::string SettingsFolderPath();
std::string SettingsFilePath();

// Why the settings file cannot be read ("Cannot read <path>: <reason>"), or "" when it can be
// or does not exist. A file another account saved, readable only by that account, otherwise
// passes for a missing one and every setting silently falls back to its default.
std::string SettingsFileProblem();

// Why the mail settings cannot send safely, or "" when they can: no mail server, a security
// choice the program does not know, or a CA file or fingerprint set while the connection would
// be plain (the settings ask for TLS, so nothing may go out without it). Every send checks it;
// whoever stores settings can check them the same way first.
std::string MailSettingsProblem(const TNotifier& notifier);

// Fills the stored fields; the mail in hand and LastError are left alone.
void LoadSettings(TNotifier& notifier);
// Writes every stored field, one key at a time, holding TSettingsLock. Throws EInOutError "Unable
// to write to <path>: <reason>" at the first key refused; the keys before it stay written.
void SaveSettings(const TNotifier& notifier);

// Saves of the settings take turns, so that a change read, made and saved while another save
// runs is never lost: whoever loads the settings to change them holds this from the load to the
// save. A thread that holds it already may take it again.
class TSettingsLock {
 public:
  TSettingsLock();
  ~TSettingsLock();
  TSettingsLock(const TSettingsLock&) = delete;
  TSettingsLock& operator=(const TSettingsLock&) = delete;

 private:
  std::unique_ptr<TFolderLock> lock_;
  static thread_local int held_;
};

// A profile value as a 32-bit integer: "0x"/"0X" (with at least one digit) and "$" introduce
// hexadecimal, anything else is decimal. A value that is not such a number gives defaultValue.
int32_t ReadProfileInt(const std::string& file, const std::string& section, const std::string& key,
                       int32_t defaultValue);

}  // namespace tavik
