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
    std::cerr << MaskUrlSecrets(text) << std::endl;
}

void JournalLine(const std::string& text, bool isError) {
  JournalLineAt(text, isError ? 3 : 6);
}

void JournalLineAt(const std::string& original, int priority) {
  if (!StderrIsJournal()) return;
  const std::string prefix = "<" + std::to_string(priority < 0 || priority > 7 ? 6 : priority) + ">";
  const std::string text = MaskUrlSecrets(original);
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

std::string MaskUrlSecrets(const std::string& text) {
  std::string r;
  size_t pos = 0;
  for (size_t scheme; (scheme = text.find("://", pos)) != std::string::npos;) {
    const size_t start = scheme + 3;
    r.append(text, pos, start - pos);
    pos = start;
    // The user-info ends at the first "@" before the host's end.
    const size_t end = text.find_first_of("/?#@ \t\r\n\"'<>", start);
    if (end == std::string::npos || text[end] != '@' || end == start) continue;
    const size_t colon = text.find(':', start);
    if (colon < end) r.append(text, start, colon + 1 - start);
    r += "********@";
    pos = end + 1;
  }
  r.append(text, pos, std::string::npos);
  return r;
}

std::string EscapeControls(const std::string& text) {
  std::string r;
  r.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      r += ch;
    } else if (c == '\n') {
      r += "\\n";
    } else if (c == '\r') {
      r += "\\r";
    } else if (c == '\t') {
      r += "\\t";
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      r += buf;
    }
  }
  return r;
}

}  // namespace tavik
