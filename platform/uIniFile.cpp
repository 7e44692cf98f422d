#include "platform/uIniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace tavik {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

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

bool LoadFile(const std::string& file, std::string& content) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  content = ss.str();
  return true;
}

// Lines without their terminators; ends[i] holds what ended line i ("\r\n", "\n" or "").
void SplitLines(const std::string& content, std::vector<std::string>& lines, std::vector<std::string>& ends) {
  size_t pos = 0;
  while (pos < content.size()) {
    size_t nl = content.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back(content.substr(pos));
      ends.emplace_back();
      break;
    }
    size_t end = nl;
    std::string term = "\n";
    if (end > pos && content[end - 1] == '\r') {
      --end;
      term = "\r\n";
    }
    lines.push_back(content.substr(pos, end - pos));
    ends.push_back(term);
    pos = nl + 1;
  }
}

// The section named by a header line, or false when the line is no header.
bool SectionOf(const std::string& line, std::string& name) {
  std::string t = Trim(line);
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

}  // namespace

std::string ReadProfileString(const std::string& file, const std::string& section, const std::string& key,
                              const std::string& defaultValue) {
  std::string content;
  std::string result = defaultValue;
  if (LoadFile(file, content)) {
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
        break;
      }
    }
  }
  result = Trim(result);
  if (result.size() >= 2 && (result[0] == '"' || result[0] == '\'') && result.back() == result[0])
    result = result.substr(1, result.size() - 2);
  if (result.size() > ProfileValueMax) result.resize(ProfileValueMax);
  return result;
}

bool WriteProfileString(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& value) {
  std::string content;
  struct stat st{};
  bool exists = ::stat(file.c_str(), &st) == 0;
  if (exists && !LoadFile(file, content)) return false;

  std::vector<std::string> lines, ends;
  SplitLines(content, lines, ends);
  const std::string nl = (content.find("\r\n") != std::string::npos || content.find('\n') == std::string::npos)
                             ? "\r\n"
                             : "\n";
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

  std::string tmp = file + ".tmp-" + std::to_string(::getpid());
  mode_t mode = exists ? (st.st_mode & 07777) : 0600;
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0 || !exists;
  size_t done = 0;
  while (ok && done < out.size()) {
    ssize_t n = ::write(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(tmp.c_str(), file.c_str()) != 0) ok = false;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

}  // namespace tavik
