#include "app/uStartup.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "app/uHistory.h"
#include "app/uJobSettings.h"
#include "app/uShellCommands.h"
#include "app/uVersion.h"
#include "notify/uNotifier.h"

namespace tavik {

namespace {
bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}
}  // namespace

TDisplayEnv ReadDisplayEnv() {
  TDisplayEnv env;
  env.display = EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY");
  env.platformChosen = EnvSet("QT_QPA_PLATFORM");
  return env;
}

TStartPlan PlanStart(const std::vector<std::string>& args, const TSwitches& switches,
                     const TDisplayEnv& env) {
  TStartPlan plan;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i].rfind("--", 0) != 0) continue;
    const TShellCommand* command = FindShellCommand(args[i]);
    if (!command) {
      TStartPlan refused;
      refused.kind = TStartKind::UnknownOption;
      refused.unknown = args[i];
      return refused;
    }
    if (!plan.command) {
      plan.kind = TStartKind::Command;
      plan.command = command;
      plan.commandArgs.assign(args.begin() + static_cast<long>(i) + 1, args.end());
    }
  }
  if (plan.command) return plan;
  if (switches.hidden || switches.preCheck) {
    plan.offscreen = true;
  } else if (!env.display && !env.platformChosen) {
    // "s" ends by itself, so it may run unseen; a bare window would wait for a click forever.
    if (!switches.silent) {
      plan.kind = TStartKind::NoDisplay;
      return plan;
    }
    plan.offscreen = true;
  } else if (switches.silent && !env.platformChosen) {
    // A display that cannot be opened (a stale DISPLAY) must not cost the run: nobody would see
    // the window there either.
    plan.offscreenFallback = true;
  }
  return plan;
}

std::string VersionText() {
  return std::string("TavikBackupCopy ") + ProgramVersion;
}

std::string UsageLine() {
  std::string t = "Usage: TavikBackupCopy [-h | -s | -P] [-m] | ";
  const std::vector<TShellCommand>& commands = ShellCommands();
  for (size_t i = 0; i < commands.size(); ++i) t += (i ? " | " : "") + std::string(commands[i].name);
  return t;
}

std::string NoDisplayHint() {
  return "TavikBackupCopy: no display for the window; use -h for an unattended run, -P for the disk "
         "pre-check, or --help";
}

std::string UnknownOptionText(const std::string& option) {
  return "TavikBackupCopy: unknown option " + option + "\n" + UsageLine() + "\n";
}

std::string UsageText() {
  const std::string logName = TQorvLogger().DefaultLogFileName();
  std::string t;
  t += "Usage: TavikBackupCopy [-h | -s | -P] [-m]\n";
  for (const TShellCommand& c : ShellCommands())
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
  for (const TShellCommand& c : ShellCommands()) {
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
