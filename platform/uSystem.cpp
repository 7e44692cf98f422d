#include "platform/uSystem.h"

#include <iostream>

namespace tavik {

void DebugOutput(const std::string& text) {
  std::cerr << text << std::endl;
}

void ErrorToStderr(const std::string& text) {
  if (StderrIsJournal())
    JournalLine(text, true);
  else
    std::cerr << text << std::endl;
}

void JournalLine(const std::string& text, bool isError) {
  JournalLineAt(text, isError ? 3 : 6);
}

void JournalLineAt(const std::string& text, int priority) {
  if (!StderrIsJournal()) return;
  const std::string prefix = "<" + std::to_string(priority < 0 || priority > 7 ? 6 : priority) + ">";
  std::string out;
  size_t at = 0;
  // The journal makes an entry of every line; each needs its own priority.
  do {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(at, nl - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out += prefix + line + "\n";
    at = nl + 1;
  } while (at < text.size());
  std::cerr << out << std::flush;
}

}  // namespace tavik
