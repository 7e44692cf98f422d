#include "commands/uSettingsCommands.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <optional>

#include "QorvLib/uQorvFiles.h"
#include "history/uMonitoring.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "platform/uIniFile.h"
#include "platform/uTls.h"
#include "run/uHistoryRecorder.h"

namespace tavik {

namespace {

// What a value of a key must be, checked before anything is written.
enum class TKind {
  Host,
  Port,
  Security,
  Flag,
  Text,
  Address,
  Logon,
  Secret,
  CAFile,
  Fingerprint,
  DiskId,
  Recipients,
  PingUrl,
  MetricsFile
};

struct TSettingKey {
  const char* key;
  TKind kind;
  std::string TNotifier::*text = nullptr;
  bool TNotifier::*flag = nullptr;
  int32_t TNotifier::*number = nullptr;
};

// Every stored setting, in the order the settings file holds them.
const TSettingKey SettingKeys[] = {
    {"SMTPServer", TKind::Host, &TNotifier::SMTPServer},
    {"SMTPPort", TKind::Port, nullptr, nullptr, &TNotifier::SMTPPort},
    {"SMTPFrom", TKind::Address, &TNotifier::SMTPFrom},
    {"SiteDescription", TKind::Text, &TNotifier::SiteDescription},
    {"SiteID", TKind::Text, &TNotifier::SiteID},
    {"SMTPRequiresLogon", TKind::Flag, nullptr, &TNotifier::SMTPRequiresLogon},
    {"SMTPLogon", TKind::Logon, &TNotifier::SMTPLogon},
    {"SMTPPwd", TKind::Secret, &TNotifier::SMTPPwd},
    {"SMTPSecurity", TKind::Security, nullptr, nullptr, &TNotifier::SMTPSecurity},
    {"SMTPCAFile", TKind::CAFile, &TNotifier::SMTPCAFile},
    {"SMTPFingerprint", TKind::Fingerprint, &TNotifier::SMTPFingerprint},
    {"CreateDestFolder", TKind::Flag, nullptr, &TNotifier::CreateDestFolder},
    {"IDDisk", TKind::Flag, nullptr, &TNotifier::IDDisk},
    {"IDDiskMon", TKind::Flag, nullptr, &TNotifier::IDDiskMon},
    {"IDDiskTue", TKind::Flag, nullptr, &TNotifier::IDDiskTue},
    {"IDDiskWed", TKind::Flag, nullptr, &TNotifier::IDDiskWed},
    {"IDDiskThur", TKind::Flag, nullptr, &TNotifier::IDDiskThur},
    {"IDDiskFri", TKind::Flag, nullptr, &TNotifier::IDDiskFri},
    {"IDDiskSat", TKind::Flag, nullptr, &TNotifier::IDDiskSat},
    {"IDDiskSun", TKind::Flag, nullptr, &TNotifier::IDDiskSun},
    {"MondayID", TKind::DiskId, &TNotifier::MondayID},
    {"TuesdayID", TKind::DiskId, &TNotifier::TuesdayID},
    {"WednesdayID", TKind::DiskId, &TNotifier::WednesdayID},
    {"ThursdayID", TKind::DiskId, &TNotifier::ThursdayID},
    {"FridayID", TKind::DiskId, &TNotifier::FridayID},
    {"SaturdayID", TKind::DiskId, &TNotifier::SaturdayID},
    {"SundayID", TKind::DiskId, &TNotifier::SundayID},
    {"ErrorEmails", TKind::Recipients, &TNotifier::ErrorEmails},
    {"DiskChangeEmails", TKind::Recipients, &TNotifier::DiskChangeEmails},
    {"LogEmails", TKind::Recipients, &TNotifier::LogEmails},
    {"BackupCompleteEmails", TKind::Recipients, &TNotifier::BackupCompleteEmails},
    {"MetricsFile", TKind::MetricsFile, &TNotifier::MetricsFile},
    {"PingURL", TKind::PingUrl, &TNotifier::PingURL},
    {"VerifyPingURL", TKind::PingUrl, &TNotifier::VerifyPingURL},
    {"PushgatewayURL", TKind::PingUrl, &TNotifier::PushgatewayURL},
};

const TSettingKey* FindKey(const std::string& key) {
  for (const TSettingKey& k : SettingKeys)
    if (SameText(k.key, key)) return &k;
  return nullptr;
}

std::optional<int32_t> DecimalIn(const std::string& value, int32_t low, int32_t high) {
  if (value.empty() || value.size() > 9) return std::nullopt;
  int32_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < low || n > high) return std::nullopt;
  return n;
}

// Why value cannot be stored under key, or "" when it can.
std::string ValueFault(const TSettingKey& k, const std::string& value) {
  const std::string name = k.key;
  if (HasControl(value)) return name + ": the value holds a control character";
  // A longer value would be stored and then read back cut short.
  if (value.size() > ProfileValueMax)
    return name + ": the value is longer than " + std::to_string(ProfileValueMax) + " bytes";
  switch (k.kind) {
    case TKind::Host:
      if (value.find(' ') != std::string::npos) return name + ": a host name holds no blank";
      return {};
    case TKind::Port:
      return DecimalIn(value, 1, 65535) ? ""
                                        : name + ": " + Quoted(value) + " is no port number (1 to 65535)";
    case TKind::Security:
      return DecimalIn(value, 0, 2)
                 ? ""
                 : name + ": " + Quoted(value) + " must be 0 (none), 1 (STARTTLS) or 2 (SSL/TLS)";
    case TKind::Flag:
      return value == "0" || value == "1" ? "" : name + ": " + Quoted(value) + " must be 0 or 1";
    case TKind::DiskId:
      return Trim(value).empty() ? name + ": a disk ID cannot be empty" : "";
    case TKind::Fingerprint:
      return value.empty() || !NormalizedFingerprint(value).empty()
                 ? ""
                 : name + ": " + Quoted(value) + " is no SHA-256 fingerprint (64 hex digits, colons allowed)";
    case TKind::PingUrl:
      if (value == "-") return {};
      if (!ValidPingUrl(value))
        return name + ": " + Quoted(MaskUrlSecrets(value)) + " is no http:// or https:// URL";
      // Whatever stands on a command line is there for every account to read while it runs.
      if (MaskUrlSecrets(value) != value)
        return name + ": a URL holding a password is never taken from the command line: give " + name +
               "=- and the URL on standard input";
      return {};
    case TKind::MetricsFile:
      // The run would skip it; saying so now spares a night without metrics.
      return value.empty() ? "" : MetricsFileProblem(value, ProgramFiles());
    case TKind::CAFile: {
      struct stat st {};
      if (value.empty()) return {};
      if (::stat(value.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return name + ": " + Quoted(value) + " is no regular file";
      return {};
    }
    case TKind::Address:
    case TKind::Recipients: {
      if (value.empty()) return {};
      std::vector<std::string> rejected;
      const std::vector<TRecipient> found = Recipients(value, &rejected);
      if (found.empty()) return name + ": " + Quoted(value) + " holds no mail address";
      if (!rejected.empty()) return name + ": " + Quoted(rejected.front()) + " is not a mail address";
      // Words after a bracketed address would be nobody's: the mail must reach them or say so.
      for (const std::string& entry : RecipientEntries(value)) {
        const size_t close = entry.rfind('>');
        if (entry.find('<') != std::string::npos && close != std::string::npos &&
            !Trim(entry.substr(close + 1)).empty())
          return name + ": " + Quoted(Trim(entry.substr(close + 1))) +
                 " is not a mail address (separate entries by commas)";
      }
      if (k.kind == TKind::Address && found.size() > 1) return name + ": one sender address only";
      return {};
    }
    case TKind::Secret:
      return value == "-" ? ""
                          : name + " is never taken from the command line: give " + name +
                                "=- and the password on standard input";
    case TKind::Text:
    case TKind::Logon:
      return {};
  }
  return {};
}

void Assign(TNotifier& n, const TSettingKey& k, const std::string& value) {
  if (k.text)
    n.*k.text = value;
  else if (k.flag)
    n.*k.flag = value == "1";
  else
    n.*k.number = *DecimalIn(value, 0, 65535);
}

std::string ValueText(const TNotifier& n, const TSettingKey& k) {
  if (k.text) return k.kind == TKind::Secret && !(n.*k.text).empty() ? "********" : MaskUrlSecrets(n.*k.text);
  if (k.flag) return n.*k.flag ? "1" : "0";
  return std::to_string(n.*k.number);
}

// Keys whose value "-" stands for a line of standard input, and what is asked for there.
const char* StdinPrompt(TKind kind) {
  return kind == TKind::Secret ? "Password: " : kind == TKind::PingUrl ? "URL: " : nullptr;
}

// One line from standard input, without its line end; not echoed when typed at a terminal.
std::optional<std::string> ReadSecret(TCommandStreams io, const char* prompt) {
  const bool terminal = &io.in == &std::cin && ::isatty(STDIN_FILENO);
  termios saved{};
  if (terminal) {
    io.err << prompt << std::flush;
    ::tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(io.in, line));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    io.err << "\n";
  }
  if (!got && line.empty()) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Settings that ask for TLS while the connection stays plain would go out in plain or not at all.
std::string CombinationFault(const TNotifier& n) {
  if (n.SMTPSecurity == 0 && (!n.SMTPCAFile.empty() || !n.SMTPFingerprint.empty()))
    return "SMTPCAFile and SMTPFingerprint need SMTPSecurity=1 or 2";
  if (!n.SMTPRequiresLogon && (!n.SMTPLogon.empty() || !n.SMTPPwd.empty()))
    return "SMTPLogon and SMTPPwd are kept only with SMTPRequiresLogon=1";
  return {};
}

}  // namespace

std::vector<std::string> SettingKeyNames() {
  std::vector<std::string> names;
  for (const TSettingKey& k : SettingKeys) names.emplace_back(k.key);
  return names;
}

int SetSettingsCommand(const std::vector<std::string>& assignments, TCommandStreams io) {
  if (assignments.empty()) return Refuse(io, "--set needs KEY=VALUE");
  std::vector<std::pair<const TSettingKey*, std::string>> changes;
  for (const std::string& a : assignments) {
    const size_t eq = a.find('=');
    const TSettingKey* k = eq == std::string::npos ? nullptr : FindKey(a.substr(0, eq));
    if (eq == std::string::npos) return Refuse(io, Quoted(a) + " is no KEY=VALUE");
    if (!k) return Refuse(io, "unknown setting " + Quoted(a.substr(0, eq)));
    const std::string value = a.substr(eq + 1);
    if (const std::string fault = ValueFault(*k, value); !fault.empty()) return Refuse(io, fault);
    changes.emplace_back(k, value);
  }
  // Standard input is read before the settings are locked: a password typed slowly holds up no save.
  for (auto& [k, value] : changes) {
    if (!StdinPrompt(k->kind) || value != "-") continue;
    const std::optional<std::string> line = ReadSecret(io, StdinPrompt(k->kind));
    const char* what = k->kind == TKind::Secret ? "password" : "URL";
    if (!line || line->empty())
      return Refuse(io, std::string(k->key) + ": no " + what + " on standard input");
    if (HasControl(*line))
      return Refuse(io, std::string(k->key) + ": the " + what + " holds a control character");
    if (k->kind == TKind::PingUrl && !ValidPingUrl(*line))
      return Refuse(
          io, std::string(k->key) + ": " + Quoted(MaskUrlSecrets(*line)) + " is no http:// or https:// URL");
    if (line->size() > ProfileValueMax)
      return Refuse(io, std::string(k->key) + ": the value is longer than " +
                            std::to_string(ProfileValueMax) + " bytes");
    value = *line;
  }
  if (const std::string problem = SettingsFileProblem(); !problem.empty()) return Fail(io, problem);
  const TSettingsLock lock;
  TNotifier n;
  LoadSettings(n);
  bool logonGiven = false;
  for (auto& [k, value] : changes) {
    logonGiven = logonGiven || k->kind == TKind::Secret || k->kind == TKind::Logon;
    Assign(n, *k, value);
  }
  // Switching the logon on keeps an account stored before; switching it off drops it, as the dialog does.
  if (!n.SMTPRequiresLogon && !logonGiven) {
    n.SMTPLogon.clear();
    n.SMTPPwd.clear();
  }
  if (const std::string fault = CombinationFault(n); !fault.empty()) return Refuse(io, fault);
  try {
    SaveSettings(n);
  } catch (const std::exception& e) {
    return Fail(io, e.what());
  }
  io.out << "Saved " << SettingsFilePath() << "\n";
  return ExitOk;
}

int PrintSettingsCommand(TCommandStreams io) {
  if (const std::string problem = SettingsFileProblem(); !problem.empty()) return Fail(io, problem);
  TNotifier n;
  LoadSettings(n);
  io.out << "# " << SettingsFilePath() << (FileExists(SettingsFilePath()) ? "" : " (not there: defaults)")
         << "\n";
  for (const TSettingKey& k : SettingKeys) io.out << k.key << "=" << ValueText(n, k) << "\n";
  return ExitOk;
}

}  // namespace tavik
