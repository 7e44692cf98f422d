#include "QorvLib/uQorvFiles.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "platform/uErrors.h"
#include "platform/uFiles.h"
#include "platform/uUiServices.h"

namespace tavik {

std::string RightText(const std::string& s, size_t n) {
  return s.size() <= n ? s : s.substr(s.size() - n);
}

std::string IncludeTrailingSeparator(const std::string& path) {
  if (!path.empty() && path.back() == PathDelim) return path;
  return path + PathDelim;
}

std::string RemoveTrailingSeparator(const std::string& path) {
  if (!path.empty() && path.back() == PathDelim) return path.substr(0, path.size() - 1);
  return path;
}

bool DiskSpace(const std::string& folder, int64_t& freeBytes, int64_t& totalBytes) {
  return FreeSpace(folder, freeBytes, totalBytes);
}

bool FolderExists(const std::string& path) {
  TFileInfo info;
  return !path.empty() && PathInfo(path, info) && info.kind == TFileKind::Folder;
}

bool FileExists(const std::string& path) {
  TFileInfo info;
  return !path.empty() && PathInfo(path, info) && info.kind != TFileKind::Folder;
}

bool WriteAll(int fd, const char* data, size_t size, int& err) {
  return WriteToDescriptor(fd, data, size, err);
}

bool ForceFolders(const std::string& path, int mode) {
  if (path.empty()) return false;
  const std::string p = RemoveTrailingSeparator(path);
  // The only root here is "/", which the line above turned into the empty text; short paths
  // such as "bk" or "/b" are folders like any other.
  if (p.empty() || FolderExists(p)) return true;
  const std::string parent = RemoveTrailingSeparator(ExtractFilePath(p));
  if (!parent.empty() && parent != p && !ForceFolders(parent, mode)) return false;
  return MakeFolder(p, mode) || FolderExists(p);
}

int CreatedFolderMode(const std::string& like) {
  TFileInfo info;
  if (!PathInfo(like.empty() ? "." : like, info)) return -1;
  return static_cast<int>((info.mode & 0777) | 0300);
}

int64_t TextToInt64(const std::string& text) {
  int64_t v = 0;
  const char* b = text.data();
  const char* e = b + text.size();
  if (b != e && *b == '+' && b + 1 != e && b[1] != '-') ++b;
  auto [ptr, ec] = std::from_chars(b, e, v);
  if (ec != std::errc() || ptr != e || b == e) return 0;
  return v;
}

double TextToFloatOr0(const std::string& text) {
  if (text.empty()) return 0;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size()) return 0;
  return v;
}

std::string ExtractFileName(const std::string& path) {
  size_t p = path.find_last_of(PathDelim);
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ExtractFilePath(const std::string& path) {
  size_t p = path.find_last_of(PathDelim);
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileExt(const std::string& path) {
  std::string name = ExtractFileName(path);
  size_t p = name.find_last_of('.');
  return p == std::string::npos ? std::string() : name.substr(p);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  std::string ext0 = ExtractFileExt(path);
  return path.substr(0, path.size() - ext0.size()) + ext;
}

std::string LowerCase(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

bool SameText(const std::string& a, const std::string& b) {
  return LowerCase(a) == LowerCase(b);
}

int CompareText(const std::string& a, const std::string& b) {
  std::string x = LowerCase(a), y = LowerCase(b);
  return x < y ? -1 : (x == y ? 0 : 1);
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

namespace {
bool IsBlankOrControl(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}
}  // namespace

std::vector<std::string> SplitList(const std::string& value) {
  std::vector<std::string> entries;
  const size_t n = value.size();
  size_t p = 0;
  auto skipBlanks = [&] {
    while (p < n && IsBlankOrControl(value[p])) ++p;
  };
  skipBlanks();
  while (p < n) {
    std::string entry;
    if (value[p] == '"') {
      ++p;
      while (p < n) {
        if (value[p] == '"') {
          if (p + 1 < n && value[p + 1] == '"') {
            entry += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        entry += value[p++];
      }
    } else {
      size_t start = p;
      while (p < n && value[p] != ',' && !IsBlankOrControl(value[p])) ++p;
      entry = value.substr(start, p - start);
    }
    entries.push_back(std::move(entry));
    skipBlanks();
    if (p < n && value[p] == ',') {
      if (p + 1 == n) entries.emplace_back();
      ++p;
      skipBlanks();
    }
  }
  return entries;
}

namespace {
char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
}  // namespace

bool MatchesMask(const std::string& name, const std::string& pattern) {
  // Folded letter by letter: a listing of thousands of names is matched without a copy each.
  const std::string& n = name;
  const std::string& p = pattern;
  size_t ni = 0, pi = 0, starP = std::string::npos, starN = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == '?' || FoldAscii(p[pi]) == FoldAscii(n[ni]))) {
      ++ni;
      ++pi;
    } else if (pi < p.size() && p[pi] == '*') {
      starP = pi++;
      starN = ni;
    } else if (starP != std::string::npos) {
      pi = starP + 1;
      ni = ++starN;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

namespace {
// Names of folder matching pattern, in the order the folder listing gives them.
bool ListMatching(const std::string& folder, const std::string& pattern, std::vector<TListedName>& out,
                  bool withTimes = true, int* listErr = nullptr) {
  int err = 0;
  const bool listed = ListFolder(
      folder, [&](const std::string& name) { return MatchesMask(name, pattern); }, withTimes, out, err);
  if (!listed && listErr) *listErr = err;
  return listed;
}
}  // namespace

bool FindFiles(const std::string& mask, std::vector<std::string>* files, unsigned attrs, bool recurse) {
  if (files == nullptr) throw EAssertionFailed("Assertion failed: file list is nil (uQorvFiles)");
  std::string folder = ExtractFilePath(mask);
  std::string pattern = ExtractFileName(mask);
  std::vector<TListedName> entries;
  if (!ListMatching(folder, pattern, entries)) return false;
  for (const TListedName& e : entries) {
    if (e.infoErr != 0) continue;
    if (e.info.kind == TFileKind::Folder) {
      if (recurse && (attrs & faDirectory))
        FindFiles(IncludeTrailingSeparator(folder) + e.name + PathDelim + pattern, files, attrs, recurse);
      continue;
    }
    files->push_back(IncludeTrailingSeparator(folder) + e.name);
  }
  return !entries.empty();
}

std::vector<TFoundFile> ListFiles(const std::string& mask, bool withTimes, int* listErr) {
  std::vector<TListedName> entries;
  std::vector<TFoundFile> r;
  if (listErr) *listErr = 0;
  ListMatching(ExtractFilePath(mask), ExtractFileName(mask), entries, withTimes, listErr);
  for (const TListedName& e : entries)
    if (e.info.kind != TFileKind::Folder)
      r.push_back({e.name, e.info.modified.sec, e.info.size, e.info.kind == TFileKind::Regular, e.infoErr});
  return r;
}

int WeekdayIndex(TDateTime t) {
  return ToLocal(t).weekday;
}

namespace {
std::string Two(int v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02d", v % 100);
  return b;
}
}  // namespace

std::string FormatDateTime(const std::string& pattern, TDateTime t) {
  TLocalTime lt = ToLocal(t);
  std::string out;
  bool afterHour = false;  // "mm" right after an hour (only non-letters between) means minutes
  for (size_t i = 0; i < pattern.size();) {
    auto at = [&](const char* tok) { return pattern.compare(i, std::strlen(tok), tok) == 0; };
    char c = pattern[i];
    if (at("yyyy")) {
      out += std::to_string(lt.year);
      i += 4;
      afterHour = false;
    } else if (at("yy")) {
      out += Two(lt.year);
      i += 2;
      afterHour = false;
    } else if (at("dd")) {
      out += Two(lt.day);
      i += 2;
      afterHour = false;
    } else if (at("hh") || at("HH")) {
      out += Two(lt.hour);
      i += 2;
      afterHour = true;
    } else if (at("mm") || at("MM")) {
      out += afterHour ? Two(lt.minute) : Two(lt.month);
      i += 2;
      afterHour = false;
    } else if (at("nn")) {
      out += Two(lt.minute);
      i += 2;
      afterHour = false;
    } else if (at("ss") || at("SS")) {
      out += Two(lt.second);
      i += 2;
      afterHour = false;
    } else if (at("zzz")) {
      char b[8];
      std::snprintf(b, sizeof b, "%03d", lt.msec);
      out += b;
      i += 3;
      afterHour = false;
    } else {
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) afterHour = false;
      out += c;
      ++i;
    }
  }
  return out;
}

std::string SpecialFolderPath(TSpecialFolder which) {
  return SpecialFolderOs(which);
}

std::string UserAppDataFolder() {
  std::string p = SpecialFolderPath(TSpecialFolder::UserAppData);
  return p.empty() ? p : IncludeTrailingSeparator(p);
}

std::string LocalComputerName() {
  return HostComputerName();
}
std::string LocalUserName() {
  return Trim(LoginUserName());
}

void OpenUrl(const std::string& address) {
  std::string a = address.substr(0, 400);
  // The desktop's own handler decides the browser; there is nothing sensible to try after it.
  OpenWithDefaultHandler(a);
}

void ShowInfo(const std::string& text) {
  Ui().ShowInfo(text);
}

void WarnAndAbort(const std::string& text) {
  std::string t = text;
  if (t.empty() || t.back() != '.') t += '.';
  Ui().ShowWarning(t);
  throw ESilentAbort();
}

}  // namespace tavik
