#pragma once
// What the program says of itself: the answers to --help and --version, and the usage line a
// wrong option earns.
#include <string>
#include <vector>

#include "commands/uCommand.h"

namespace tavik {

std::string VersionText();
// The usage names every command of commands, the table the program answers by.
std::string UsageText(const std::vector<TShellCommand>& commands);
// The lines for standard error when option is no option of the program.
std::string UnknownOptionText(const std::string& option, const std::vector<TShellCommand>& commands);
// "Usage: TavikBackupCopy ..." with every option, on one line.
std::string UsageLine(const std::vector<TShellCommand>& commands);

}  // namespace tavik
