#include "commands/uCommand.h"

#include <ostream>

namespace tavik {

int Refuse(TCommandStreams io, const std::string& fault) {
  io.err << "TavikBackupCopy: " << fault << "; nothing was changed\n";
  return ExitUsage;
}

int Fail(TCommandStreams io, const std::string& what) {
  io.err << "TavikBackupCopy: " << what << "\n";
  return ExitFailed;
}

bool HasControl(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
  return false;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

}  // namespace tavik
