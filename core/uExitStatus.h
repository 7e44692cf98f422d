#pragma once
// The exit statuses every command and run shares: a scheduler, a script or a monitor reads them.

namespace tavik {

inline constexpr int ExitOk = 0;
inline constexpr int ExitFailed = 1;     // a run with an error line, a command that could not do its work
inline constexpr int ExitUsage = 2;      // the command line or a value on it is wrong; nothing was changed
inline constexpr int ExitWrongDisk = 3;  // the disk in is not today's, and nothing else went wrong
inline constexpr int ExitNoRunYet = 4;   // "--status" when no run is recorded yet

// The exit status of a run: 1 with error lines, 3 for the wrong disk alone, else 0.
inline int RunExitStatus(bool hadErrors, bool diskMismatch) {
  return hadErrors ? ExitFailed : diskMismatch ? ExitWrongDisk : ExitOk;
}

}  // namespace tavik
