#include "platform/uIniFile.h"

#include <vector>

#include "platform/uErrors.h"
#include "platform/uFiles.h"

namespace tavik {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// Lines without their terminators; ends[i] holds what ended line i ("\r\n", "\n", "\r" or "").
// A lone CR ends a line too: read as part of a value it could carry a second line into a mail header.
void SplitLines(const std::string& content, std::vector<std::string>& lines, std::vector<std::string>& ends) {
  size_t pos = 0;
  while (pos < content.size()) {
    const size_t br = content.find_first_of("\r\n", pos);
    if (br == std::string::npos) {
      lines.push_back(content.substr(pos));
      ends.emplace_back();
      break;
    }
    const size_t termLen =
        (content[br] == '\r' && br + 1 < content.size() && content[br + 1] == '\n') ? 2 : 1;
    lines.push_back(content.substr(pos, br - pos));
    ends.push_back(content.substr(br, termLen));
    pos = br + termLen;
  }
}

// The section named by a header line, or false when the line is no header. A byte-order mark
// that an editor put before the first header must not hide that section.
bool SectionOf(const std::string& line, std::string& name) {
  std::string t = Trim(line);
  if (t.compare(0, 3, "\xEF\xBB\xBF") == 0) t = Trim(t.substr(3));
  if (t.empty() || t[0] != '[') return false;
  size_t close = t.find(']');
  name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  return true;
}

bool KeyOf(const std::string& line, std::string& key, std::string& value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(line.substr(0, eq));
  value = line.substr(eq + 1);
  return !key.empty() && key[0] != ';';
}

// Drops one pair of quotes only when it encloses the whole value: "a","b" is a list of two
// quoted entries, and stripping its outer quotes would leave a list the splitter reads wrongly.
std::string Unquote(const std::string& v) {
  if (v.size() < 2 || (v[0] != '"' && v[0] != '\'') || v.back() != v[0]) return v;
  if (v.find(v[0], 1) != v.size() - 1) return v;
  return v.substr(1, v.size() - 2);
}

// A line break would end the line early and let a value plant keys or sections of its own.
bool FitsOneLine(const std::string& s) {
  return s.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

std::string ReadProfileString(const std::string& file, const std::string& section, const std::string& key,
                              const std::string& defaultValue) {
  std::string content;
  std::string result = defaultValue;
  bool found = false;
  if (ReadWholeFile(file, content)) {
    std::vector<std::string> lines, ends;
    SplitLines(content, lines, ends);
    bool inSection = false, seenSection = false;
    for (const std::string& line : lines) {
      std::string name, k, v;
      if (SectionOf(line, name)) {
        if (seenSection && inSection) break;  // only the first section of that name counts
        inSection = SameText(name, Trim(section));
        seenSection = seenSection || inSection;
        continue;
      }
      if (inSection && KeyOf(line, k, v) && SameText(k, Trim(key))) {
        result = v;
        found = true;
        break;
      }
    }
  }
  if (found) result = Unquote(Trim(result));
  if (result.size() > ProfileValueMax) result.resize(ProfileValueMax);
  return result;
}

std::vector<std::pair<std::string, std::string>> ProfileKeys(const std::string& file) {
  std::vector<std::pair<std::string, std::string>> keys;
  std::string content;
  if (!ReadWholeFile(file, content)) return keys;
  std::vector<std::string> lines, ends;
  SplitLines(content, lines, ends);
  std::string section;
  for (const std::string& line : lines) {
    std::string name, k, v;
    if (SectionOf(line, name))
      section = name;
    else if (KeyOf(line, k, v))
      keys.emplace_back(section, k);
  }
  return keys;
}

namespace {

// The work of WriteProfileString, with the reason of a failure in why.
bool WriteProfile(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& value, std::string& why) {
  if (!FitsOneLine(section) || !FitsOneLine(key) || !FitsOneLine(value) || Trim(key).empty() ||
      key.find('=') != std::string::npos || section.find(']') != std::string::npos) {
    why = "the key or the value holds a line break or a character the file cannot hold";
    return false;
  }
  // Longer values would be stored and then read back cut short.
  if (value.size() > ProfileValueMax) {
    why = "the value of " + Trim(key) + " is longer than " + std::to_string(ProfileValueMax) + " bytes";
    return false;
  }
  // The folder may be another account's: a link in the file's place is never written through
  // (it could aim the write at any file of whoever saves), and nothing that could make the
  // read wait is opened.
  std::string content;
  bool exists = false;
  if (!ReadFileToReplace(file, ProfileFileMax, content, exists, why)) return false;
  if (content.size() > ProfileFileMax) {
    why = "it is longer than " + std::to_string(ProfileFileMax) + " bytes";
    return false;
  }

  std::vector<std::string> lines, ends;
  SplitLines(content, lines, ends);
  const std::string nl =
      (content.find("\r\n") != std::string::npos || content.find('\n') == std::string::npos) ? "\r\n" : "\n";
  const std::string entry = Trim(key) + "=" + value;

  long sectionLine = -1, lastKeyLine = -1, keyLine = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name, k, v;
    if (SectionOf(lines[i], name)) {
      if (sectionLine >= 0) break;
      if (SameText(name, Trim(section))) sectionLine = lastKeyLine = static_cast<long>(i);
      continue;
    }
    if (sectionLine < 0) continue;
    if (!Trim(lines[i]).empty()) lastKeyLine = static_cast<long>(i);
    if (KeyOf(lines[i], k, v) && SameText(k, Trim(key))) {
      keyLine = static_cast<long>(i);
      break;
    }
  }

  if (keyLine >= 0) {
    lines[keyLine] = entry;
  } else if (sectionLine >= 0) {
    lines.insert(lines.begin() + lastKeyLine + 1, entry);
    ends.insert(ends.begin() + lastKeyLine + 1, nl);
  } else {
    if (!ends.empty() && ends.back().empty()) ends.back() = nl;
    lines.push_back("[" + Trim(section) + "]");
    ends.push_back(nl);
    lines.push_back(entry);
    ends.push_back(nl);
  }
  for (size_t i = 0; i + 1 < ends.size(); ++i)
    if (ends[i].empty()) ends[i] = nl;

  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) out += lines[i] + ends[i];
  return ReplaceFileSafely(file, out, why);
}

}  // namespace

bool WriteProfileString(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& value, std::string* why) {
  std::string reason;
  const bool ok = WriteProfile(file, section, key, value, reason);
  if (why) *why = reason;
  return ok;
}

}  // namespace tavik
