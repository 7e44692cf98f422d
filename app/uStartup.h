#pragma once
// What the program decides before any window or display exists: which command answers, and
// whether a window can be shown at all.
#include <string>
#include <vector>

#include "run/uSwitches.h"

namespace tavik {

struct TShellCommand;

enum class TStartKind {
  Command,        // a long option (--help, --set, ...): run it without a window and exit with its status
  UnknownOption,  // a word "--..." that is no option: a usage line naming it, exit 2
  NoDisplay,      // the window would open where nobody sees it and never close: hint and exit 2
  Run,            // start the application
};

struct TStartPlan {
  TStartKind kind = TStartKind::Run;
  // Run on Qt's offscreen platform whatever the environment says.
  bool offscreen = false;
  // Try the display first and run offscreen when it cannot be opened.
  bool offscreenFallback = false;
  const TShellCommand* command = nullptr;
  std::vector<std::string> commandArgs;  // the words after the command
  std::string unknown;                   // the option not known
};

// What the environment says about a display: DISPLAY or WAYLAND_DISPLAY set, and whether
// QT_QPA_PLATFORM names a platform of its own choosing.
struct TDisplayEnv {
  bool display = false;
  bool platformChosen = false;
};
TDisplayEnv ReadDisplayEnv();

// A word beginning with "--" that is no option refuses the whole command line, so a mistyped
// "--dry-run -h" never runs a backup. Otherwise the first long option given answers at once, with
// the words after it; every other argument keeps the switch rule. Under "h", "P" and "s" the
// window is never needed, so those runs use the offscreen platform when none can be opened (always
// under "h" and "P"): a stale DISPLAY must not stop a scheduled run.
TStartPlan PlanStart(const std::vector<std::string>& args, const TSwitches& switches, const TDisplayEnv& env);

// One line for standard error when the window has nowhere to go.
std::string NoDisplayHint();

}  // namespace tavik
