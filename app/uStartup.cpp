#include "app/uStartup.h"

#include <cstdlib>

#include "commands/uShellCommands.h"

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

std::string NoDisplayHint() {
  return "TavikBackupCopy: no display for the window; use -h for an unattended run, -P for the disk "
         "pre-check, or --help";
}

}  // namespace tavik
