#pragma once
// The long options: commands an administrator gives from a shell, answered without a window or a
// display. Each is one row of one table; a new command is a new row.
#include <iosfwd>
#include <string>
#include <vector>

namespace tavik {

// Exit statuses every command and run shares.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailed = 1;     // a run with an error line, a command that could not do its work
inline constexpr int ExitUsage = 2;      // the command line or a value on it is wrong; nothing was changed
inline constexpr int ExitWrongDisk = 3;  // the disk in is not today's, and nothing else went wrong

struct TCommandStreams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

struct TShellCommand {
  const char* name;      // "--set"
  const char* synopsis;  // what follows the name in the usage, "" for nothing
  const char* summary;   // one line of the usage
  // args: the words after the name. Returns the exit status.
  int (*run)(const std::vector<std::string>& args, TCommandStreams io);
};

const std::vector<TShellCommand>& ShellCommands();
// The row named exactly word, or nullptr.
const TShellCommand* FindShellCommand(const std::string& word);

// The name of every notification setting, in the order the settings file holds them.
std::vector<std::string> SettingKeyNames();

// What the commands do; each returns its exit status.
int SetSettingsCommand(const std::vector<std::string>& assignments, TCommandStreams io);
int PrintSettingsCommand(TCommandStreams io);
int TestMailCommand(const std::vector<std::string>& args, TCommandStreams io);

// An SMTP dialogue as a person may read it: each line prefixed with "<- " (the server) or "-> " (this
// program), the logon's secrets replaced by "********" and the mail's own lines by one line counting them.
class TSmtpTranscript {
 public:
  explicit TSmtpTranscript(std::ostream& out) : out_(out) {}
  void Heard(bool fromClient, const std::string& text);

 private:
  std::ostream& out_;
  int secretsAhead_ = 0;  // client lines still to mask (the answers to AUTH LOGIN's questions)
  bool inData_ = false;   // between the server's 354 and the end of the data
  bool awaitingData_ = false;
  size_t dataLines_ = 0;
};

}  // namespace tavik
