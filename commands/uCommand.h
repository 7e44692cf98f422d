#pragma once
// What every command of the shell is given and how it says no: the streams it speaks on, and the
// one-line refusals that end it with its exit status.
#include <iosfwd>
#include <string>
#include <vector>

#include "core/uExitStatus.h"

namespace tavik {

struct TCommandStreams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

struct TShellCommand {
  const char* name;      // "--set"
  const char* synopsis;  // what follows the name in the usage, "" for nothing
  const char* summary;   // one line of the usage
  // args: the words after the name. Returns the exit status.
  int (*run)(const std::vector<std::string>& args, TCommandStreams io);
};

// "TavikBackupCopy: <fault>; nothing was changed" on err; ExitUsage.
int Refuse(TCommandStreams io, const std::string& fault);
// "TavikBackupCopy: <what>" on err; ExitFailed.
int Fail(TCommandStreams io, const std::string& what);
// Whether text holds a control character (a line break among them), which no stored value may.
bool HasControl(const std::string& text);
// text in double quotes, as a refusal names a word given.
std::string Quoted(const std::string& text);

}  // namespace tavik
