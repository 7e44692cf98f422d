#include "commands/uUsage.h"

#include <algorithm>
#include <filesystem>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uJobSettings.h"
#include "core/uRunValues.h"
#include "core/uVersion.h"
#include "history/uHistory.h"
#include "notify/uNotifier.h"

namespace tavik {

std::string VersionText() {
  return std::string("TavikBackupCopy ") + ProgramVersion;
}

std::string UsageLine(const std::vector<TShellCommand>& commands) {
  std::string t = "Usage: TavikBackupCopy [-h | -s | -P] [-m] | ";
  for (size_t i = 0; i < commands.size(); ++i) t += (i ? " | " : "") + std::string(commands[i].name);
  return t;
}

std::string UnknownOptionText(const std::string& option, const std::vector<TShellCommand>& commands) {
  return "TavikBackupCopy: unknown option " + option + "\n" + UsageLine(commands) + "\n";
}

std::string UsageText(const std::vector<TShellCommand>& commands) {
  const std::string logName = TQorvLogger().DefaultLogFileName();
  std::string t;
  t += "Usage: TavikBackupCopy [-h | -s | -P] [-m]\n";
  for (const TShellCommand& c : commands)
    t += "       TavikBackupCopy " + std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis + "\n";
  t += "\n";
  t += "Keeps the newest disk-image chain of each volume on the rotated backup disk, checks that\n";
  t += "today's disk is in, logs the run and mails its report.\n";
  t += "\n";
  t += "Switches (\"-\" or \"/\" and one letter, in any case; other words are ignored):\n";
  t += "  -h  hidden, unattended run: no window; exits when the run ends\n";
  t += "  -s  unattended run with the window shown; exits when the run ends\n";
  t += "  -m  start with the window minimised (ignored with -h)\n";
  t += "  -P  disk pre-check only: mail a warning when the wrong disk is in, then exit\n";
  t += "Options (each answers without a window; a word \"--...\" that is none of them is refused):\n";
  for (const TShellCommand& c : commands) {
    std::string head = "  " + std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis;
    head.resize(std::max<size_t>(head.size() + 2, 28), ' ');
    t += head + c.summary + "\n";
  }
  t += "Without -h, -s or -P the window opens and waits for \"Backup\"; that needs a display.\n";
  t += "\n";
  t += "Files:\n";
  const std::string job = JobSettingsPath();
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink(job, ec);
  t += "  job settings           " + job + (ec ? "" : " -> " + target.string()) + "\n";
  t += "                         (the real program file's path with \".ini\"; links are followed)\n";
  t += "  notification settings  " + SettingsFilePath() + "\n";
  t += "  run history            " + HistoryFilePath() + "\n";
  t += "  run log                " + LogFolderFor(true, RunLogAppFolder) + logName + "\n";
  t += "                         (the previous run's log is kept with \".old\")\n";
  t += "  The all-users folder is $PROGRAMDATA when set, else /var/lib.\n";
  t += "\n";
  t += "Exit status:\n";
  t += "  0  the run wrote no error line; the pre-check found the right disk; an option did its work\n";
  t += "  1  the run wrote an error line or failed; the pre-check could not read the disk or\n";
  t += "     its job file, or could not send its warning; an option could not do its work\n";
  t += "  2  no display for the window (start with -h, -s or -P, or from a desktop session), an\n";
  t += "     unknown option, or a wrong value given to one: nothing was changed\n";
  t += "  3  the wrong disk is in: the run (with no error line) or the pre-check found another\n";
  t += "     disk than today's\n";
  t += "  4  --status: no run recorded yet (otherwise --status exits with the last run's status)\n";
  return t;
}

}  // namespace tavik
