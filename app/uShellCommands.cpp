#include "app/uShellCommands.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <iostream>
#include <optional>

#include "QorvLib/uQorvFiles.h"
#include "app/uCheck.h"
#include "app/uHistoryCommands.h"
#include "app/uStartup.h"
#include "app/uVerify.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "notify/uTestMail.h"
#include "platform/uTls.h"

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
  PingUrl
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
    {"MetricsFile", TKind::Text, &TNotifier::MetricsFile},
    {"PingURL", TKind::PingUrl, &TNotifier::PingURL},
};

const TSettingKey* FindKey(const std::string& key) {
  for (const TSettingKey& k : SettingKeys)
    if (SameText(k.key, key)) return &k;
  return nullptr;
}

bool HasControl(const std::string& value) {
  for (char c : value)
    if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
  return false;
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

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// Why value cannot be stored under key, or "" when it can.
std::string ValueFault(const TSettingKey& k, const std::string& value) {
  const std::string name = k.key;
  if (HasControl(value)) return name + ": the value holds a control character";
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
      return ValidPingUrl(value) ? "" : name + ": " + Quoted(value) + " is no http:// or https:// URL";
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
  if (k.text) return k.kind == TKind::Secret && !(n.*k.text).empty() ? "********" : n.*k.text;
  if (k.flag) return n.*k.flag ? "1" : "0";
  return std::to_string(n.*k.number);
}

// One line from standard input, without its line end; not echoed when typed at a terminal.
std::optional<std::string> ReadSecret(TCommandStreams io) {
  const bool terminal = &io.in == &std::cin && ::isatty(STDIN_FILENO);
  termios saved{};
  if (terminal) {
    io.err << "Password: " << std::flush;
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

int Refuse(TCommandStreams io, const std::string& fault) {
  io.err << "TavikBackupCopy: " << fault << "; nothing was changed\n";
  return ExitUsage;
}

int Fail(TCommandStreams io, const std::string& what) {
  io.err << "TavikBackupCopy: " << what << "\n";
  return ExitFailed;
}

// Settings that ask for TLS while the connection stays plain would go out in plain or not at all.
std::string CombinationFault(const TNotifier& n) {
  if (n.SMTPSecurity == 0 && (!n.SMTPCAFile.empty() || !n.SMTPFingerprint.empty()))
    return "SMTPCAFile and SMTPFingerprint need SMTPSecurity=1 or 2";
  if (!n.SMTPRequiresLogon && (!n.SMTPLogon.empty() || !n.SMTPPwd.empty()))
    return "SMTPLogon and SMTPPwd are kept only with SMTPRequiresLogon=1";
  return {};
}

int HelpCommand(const std::vector<std::string>&, TCommandStreams io) {
  io.out << UsageText() << std::flush;
  return ExitOk;
}

int VersionCommand(const std::vector<std::string>&, TCommandStreams io) {
  io.out << VersionText() << std::endl;
  return ExitOk;
}

int SettingsCommand(const std::vector<std::string>& args, TCommandStreams io) {
  if (!args.empty()) return Refuse(io, "--settings takes no arguments");
  return PrintSettingsCommand(io);
}

}  // namespace

std::vector<std::string> SettingKeyNames() {
  std::vector<std::string> names;
  for (const TSettingKey& k : SettingKeys) names.emplace_back(k.key);
  return names;
}

const std::vector<TShellCommand>& ShellCommands() {
  static const std::vector<TShellCommand> commands = {
      {"--help", "", "print this text and exit", HelpCommand},
      {"--version", "", "print the version and exit", VersionCommand},
      {"--settings", "", "print the notification settings (the password as ********)", SettingsCommand},
      {"--set", "KEY=VALUE ...", "change notification settings (SMTPPwd=- reads it from standard input)",
       SetSettingsCommand},
      {"--test-mail", "[ADDRESS]", "send the test mail (to ADDRESS, else to ErrorEmails), dialogue on stderr",
       TestMailCommand},
      {"--status", "",
       "print the last run and the rotation of disks; exit with the last run's status (4: none yet)",
       [](const std::vector<std::string>& args, TCommandStreams io) {
         return args.empty() ? RunStatusCommand(io.out, io.err) : Refuse(io, "--status takes no arguments");
       }},
      {"--history", "[N]", "print the last N runs (10), one line each",
       [](const std::vector<std::string>& args, TCommandStreams io) {
         return HistoryCommandArgs(args, io.out, io.err);
       }},
      {"--check", "", "check the setup and print what a run would do, changing nothing",
       [](const std::vector<std::string>& args, TCommandStreams io) {
         return args.empty() ? RunCheck(io.out, io.err) : Refuse(io, "--check takes no arguments");
       }},
      {"--verify", "",
       "read back every file the disk's SHA256SUMS list; repair from the source; 1 on a failure",
       [](const std::vector<std::string>& args, TCommandStreams io) {
         return args.empty() ? VerifyCommand(io.out, io.err) : Refuse(io, "--verify takes no arguments");
       }},
  };
  return commands;
}

const TShellCommand* FindShellCommand(const std::string& word) {
  for (const TShellCommand& c : ShellCommands())
    if (word == c.name) return &c;
  return nullptr;
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
  if (const std::string problem = SettingsFileProblem(); !problem.empty()) return Fail(io, problem);
  TNotifier n;
  LoadSettings(n);
  bool logonGiven = false;
  for (auto& [k, value] : changes) {
    if (k->kind == TKind::Secret) {
      const std::optional<std::string> secret = ReadSecret(io);
      if (!secret || secret->empty())
        return Refuse(io, std::string(k->key) + ": no password on standard input");
      if (HasControl(*secret))
        return Refuse(io, std::string(k->key) + ": the password holds a control character");
      value = *secret;
    }
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

int TestMailCommand(const std::vector<std::string>& args, TCommandStreams io) {
  if (args.size() > 1) return Refuse(io, "--test-mail takes at most one address");
  if (!args.empty() && !IsMailAddress(args[0])) return Refuse(io, Quoted(args[0]) + " is not a mail address");
  if (const std::string problem = SettingsFileProblem(); !problem.empty()) return Fail(io, problem);
  TNotifier n;
  LoadSettings(n);
  const std::string to = args.empty() ? n.ErrorEmails : args[0];
  if (Trim(to).empty()) return Fail(io, "no recipient: give an address or set ErrorEmails");
  if (Trim(n.SMTPServer).empty()) return Fail(io, "no mail server: set SMTPServer");
  TSmtpTranscript transcript(io.err);
  SetNotifierSmtpListener(
      [&](bool fromClient, const std::string& text) { transcript.Heard(fromClient, text); });
  std::string reason;
  const bool sent = SendTestMessage(n, to, reason);
  SetNotifierSmtpListener({});
  if (!sent) return Fail(io, "test mail not sent: " + reason);
  io.out << "Test mail sent to " << to << "\n";
  return ExitOk;
}

void TSmtpTranscript::Heard(bool fromClient, const std::string& text) {
  if (fromClient && inData_) {
    // The mail's own lines are the message, not the dialogue: counted, and the end shown.
    if (text == "\r\n.\r\n") {
      out_ << "-> (" << dataLines_ << " lines of the mail)\n-> .\n";
      inData_ = false;
    } else {
      ++dataLines_;
    }
    return;
  }
  size_t p = 0;
  while (p < text.size()) {
    size_t end = text.find('\n', p);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(p, end - p);
    p = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (fromClient) {
      std::string upper = line;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (secretsAhead_ > 0) {
        --secretsAhead_;
        line = "********";
      } else if (upper.rfind("AUTH PLAIN", 0) == 0 && line.size() > 10) {
        line = line.substr(0, 10) + " ********";
      } else if (upper.rfind("AUTH LOGIN", 0) == 0) {
        secretsAhead_ = 2;
      }
      awaitingData_ = upper == "DATA";
      out_ << "-> " << line << "\n";
    } else {
      // Only a question of the server is answered by a secret; anything else ends the exchange.
      if (line.rfind("334", 0) != 0) secretsAhead_ = 0;
      if (awaitingData_ && line.rfind("354", 0) == 0) {
        inData_ = true;
        dataLines_ = 0;
      }
      out_ << "<- " << line << "\n";
    }
  }
  out_.flush();
}

}  // namespace tavik
