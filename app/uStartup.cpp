#include "app/uStartup.h"

#include <cstdlib>
#include <filesystem>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "app/uJobSettings.h"
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
  for (const std::string& a : args) {
    if (a == "--help") return {TStartKind::Help, false};
    if (a == "--version") return {TStartKind::Version, false};
  }
  if (switches.hidden || switches.preCheck) {
    plan.offscreen = true;
  } else if (!env.display && !env.platformChosen) {
    // "s" ends by itself, so it may run unseen; a bare window would wait for a click forever.
    if (!switches.silent) return {TStartKind::NoDisplay, false};
    plan.offscreen = true;
  }
  return plan;
}

std::string VersionText() {
  return std::string("TavikBackupCopy ") + ProgramVersion;
}

std::string NoDisplayHint() {
  return "TavikBackupCopy: no display for the window; use -h for an unattended run, -P for the disk "
         "pre-check, or --help";
}

std::string UsageText() {
  const std::string logName = TQorvLogger().DefaultLogFileName();
  std::string t;
  t += "Usage: TavikBackupCopy [-h | -s | -P] [-m]\n";
  t += "       TavikBackupCopy --help | --version\n";
  t += "\n";
  t += "Keeps the newest disk-image chain of each volume on the rotated backup disk, checks that\n";
  t += "today's disk is in, logs the run and mails its report.\n";
  t += "\n";
  t += "Switches (\"-\" or \"/\" and one letter, in any case; other arguments are ignored):\n";
  t += "  -h         hidden, unattended run: no window; exits when the run ends\n";
  t += "  -s         unattended run with the window shown; exits when the run ends\n";
  t += "  -m         start with the window minimised (ignored with -h)\n";
  t += "  -P         disk pre-check only: mail a warning when the wrong disk is in, then exit\n";
  t += "  --help     print this text and exit\n";
  t += "  --version  print the version and exit\n";
  t += "Without -h, -s or -P the window opens and waits for \"Backup\"; that needs a display.\n";
  t += "\n";
  t += "Files:\n";
  const std::string job = JobSettingsPath();
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink(job, ec);
  t += "  job settings           " + job + (ec ? "" : " -> " + target.string()) + "\n";
  t += "                         (the real program file's path with \".ini\"; links are followed)\n";
  t += "  notification settings  " + SettingsFilePath() + "\n";
  t += "  run log                " + LogFolderFor(true, RunLogAppFolder) + logName + "\n";
  t += "                         (the previous start's log is kept with \".old\")\n";
  t += "  The all-users folder is $PROGRAMDATA when set, else /var/lib.\n";
  t += "\n";
  t += "Exit status:\n";
  t += "  0  the run wrote no error line, or the pre-check ran\n";
  t += "  1  the run wrote an error line or failed; the pre-check could not read the disk or\n";
  t += "     its job file, or could not send its warning\n";
  t += "  2  no display for the window: start with -h, -s or -P, or from a desktop session\n";
  return t;
}

}  // namespace tavik
