#pragma once
// "--status" and "--history [N]": the history on a terminal. Neither needs a display or the run
// lock.
#include <iosfwd>
#include <string>
#include <vector>

#include "core/uExitStatus.h"
#include "history/uHistory.h"

namespace tavik {

// The word after "--status" or among "--history"'s that asks for one JSON document instead of text.
inline constexpr const char* JsonSwitch = "--json";

// The last run (start, end, result, error lines, disk, each volume's chain and what was copied),
// the rotation table and each disk's last read-back. Returns the last run's exit status;
// ExitNoRunYet without a run; 1 (with the reason on err) when the history cannot be read, when the
// last run never reached its end, or while a disk's last read-back has a failure nothing cleared.
// json: the same facts as one JSON document, the exit status the same.
int RunStatusCommand(std::ostream& out, std::ostream& err, const std::string& path = HistoryFilePath(),
                     bool json = false);
// The last n runs, one line each, newest first. 0, or 1 when the history cannot be read.
int RunHistoryCommand(int n, std::ostream& out, std::ostream& err,
                      const std::string& path = HistoryFilePath(), bool json = false);
// The words after "--history": none, or one count from 1 up, and "--json". 2 with a usage line
// for anything else.
int HistoryCommandArgs(std::vector<std::string> args, std::ostream& out, std::ostream& err,
                       const std::string& path = HistoryFilePath());

}  // namespace tavik
