#pragma once
// The long options: commands an administrator gives from a shell, answered without a window or a
// display. Each is one row of one table; a new command is a new row.
#include <string>
#include <vector>

#include "commands/uCommand.h"

namespace tavik {

const std::vector<TShellCommand>& ShellCommands();
// The row named exactly word, or nullptr.
const TShellCommand* FindShellCommand(const std::string& word);

}  // namespace tavik
