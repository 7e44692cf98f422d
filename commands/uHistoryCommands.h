#pragma once
// "--status" and "--history [N]": the history on a terminal. Neither needs a display or the run
// lock.
#include <iosfwd>
#include <string>
#include <vector>

#include "core/uExitStatus.h"
#include "history/uHistory.h"

namespace tavik {

// The last run (start, end, result, error lines, disk, each volume's chain and what was copied)
// and the rotation table. Returns the last run's exit status; ExitNoRunYet without a run; 1 (with
// the reason on err) when the history cannot be read, or when the last run never reached its end.
int RunStatusCommand(std::ostream& out, std::ostream& err, const std::string& path = HistoryFilePath());
// The last n runs, one line each, newest first. 0, or 1 when the history cannot be read.
int RunHistoryCommand(int n, std::ostream& out, std::ostream& err,
                      const std::string& path = HistoryFilePath());
// The words after "--history": none, or one count from 1 up. 2 with a usage line for anything else.
int HistoryCommandArgs(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                       const std::string& path = HistoryFilePath());

}  // namespace tavik
