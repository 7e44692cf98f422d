#include "commands/uShellCommands.h"

#include <ostream>

#include "commands/uCheck.h"
#include "commands/uHistoryCommands.h"
#include "commands/uLabelCommand.h"
#include "commands/uSettingsCommands.h"
#include "commands/uTestMailCommand.h"
#include "commands/uUsage.h"
#include "run/uVerify.h"

namespace tavik {

namespace {

int HelpCommand(const std::vector<std::string>&, TCommandStreams io) {
  io.out << UsageText(ShellCommands()) << std::flush;
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

const std::vector<TShellCommand>& ShellCommands() {
  static const std::vector<TShellCommand> commands = {
      {"--help", "", "print this text and exit", HelpCommand},
      {"--version", "", "print the version and exit", VersionCommand},
      {"--settings", "", "print the notification settings (the password as ********)", SettingsCommand},
      {"--set", "KEY=VALUE ...", "change notification settings (SMTPPwd=- reads it from standard input)",
       SetSettingsCommand},
      {"--test-mail", "[ADDRESS]", "send the test mail (to ADDRESS, else to ErrorEmails), dialogue on stderr",
       TestMailCommand},
      {"--status", "[--json]",
       "print the last run, the rotation of disks and their read-backs; exit with the last run's status "
       "(4: none yet), 1 while a failed read-back stands",
       [](const std::vector<std::string>& args, TCommandStreams io) {
         if (args.empty() || (args.size() == 1 && args[0] == JsonSwitch))
           return RunStatusCommand(io.out, io.err, HistoryFilePath(), !args.empty());
         return Refuse(io, "--status takes only --json");
       }},
      {"--history", "[N] [--json]", "print the last N runs (10), one line each",
       [](const std::vector<std::string>& args, TCommandStreams io) {
         return HistoryCommandArgs(args, io.out, io.err);
       }},
      {"--check", "", "check the setup and print what a run would do, changing nothing",
       [](const std::vector<std::string>& args, TCommandStreams io) {
         return args.empty() ? RunCheck(io.out, io.err) : Refuse(io, "--check takes no arguments");
       }},
      {"--label", "ID", "label the backup disk in IDPath as a run labels a new disk (writes its ID.txt)",
       LabelCommand},
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

}  // namespace tavik
