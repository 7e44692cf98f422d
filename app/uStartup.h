#pragma once
// What the program decides before any window or display exists: the answers to --help and
// --version, and whether a window can be shown at all.
#include <string>
#include <vector>

#include "app/uSwitches.h"

namespace tavik {

// The folder below the all-users data folder that holds the run logs.
inline constexpr const char* RunLogAppFolder = "TavikShadowCopy";

enum class TStartKind {
  Help,       // print the usage to standard output and exit 0
  Version,    // print "TavikBackupCopy x.y.z" and exit 0
  NoDisplay,  // the window would open where nobody sees it and never close: hint and exit 2
  Run,        // start the application
};

struct TStartPlan {
  TStartKind kind = TStartKind::Run;
  // Run on Qt's offscreen platform whatever the environment says.
  bool offscreen = false;
};

// What the environment says about a display: DISPLAY or WAYLAND_DISPLAY set, and whether
// QT_QPA_PLATFORM names a platform of its own choosing.
struct TDisplayEnv {
  bool display = false;
  bool platformChosen = false;
};
TDisplayEnv ReadDisplayEnv();

// "--help" and "--version" answer at once (the first of them given wins); every other argument
// keeps the switch rule. Under "h" and "P" no window is ever shown, so those runs use the
// offscreen platform always: a stale DISPLAY must not stop a scheduled run.
TStartPlan PlanStart(const std::vector<std::string>& args, const TSwitches& switches, const TDisplayEnv& env);

std::string VersionText();
std::string UsageText();
// One line for standard error when the window has nowhere to go.
std::string NoDisplayHint();

}  // namespace tavik
