#include "platform/uSystem.h"

#include <windows.h>
// After windows.h, which the shell's headers need first.
#include <knownfolders.h>
#include <lmcons.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <filesystem>

#include "platform/win/uWin.h"

namespace tavik {

namespace {
std::string EnvOr(const wchar_t* name) {
  const wchar_t* v = _wgetenv(name);
  return v ? win::Narrow(v) : std::string();
}

std::string KnownFolder(const KNOWNFOLDERID& id) {
  wchar_t* path = nullptr;
  std::string r;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path))) r = win::Narrow(path);
  CoTaskMemFree(path);
  return r;
}

// A root ("C:\") keeps its separator.
std::string StripTrailing(std::string p) {
  while (p.size() > 3 && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  return p;
}
}  // namespace

std::string SpecialFolderOs(TSpecialFolder which) {
  // The variables first: Windows sets both to the folders the shell gives, and a test (or an
  // administrator's service account) may point them elsewhere.
  const bool common = which == TSpecialFolder::CommonAppData;
  std::string p = EnvOr(common ? L"PROGRAMDATA" : L"APPDATA");
  if (p.empty()) p = KnownFolder(common ? FOLDERID_ProgramData : FOLDERID_RoamingAppData);
  if (p.empty()) return {};
  p = StripTrailing(p);
  if (p.size() > 260) p.resize(260);
  return p;
}

std::string LoginUserName() {
  wchar_t buf[UNLEN + 1] = {};
  DWORD n = UNLEN + 1;
  return GetUserNameW(buf, &n) ? win::Narrow(buf) : std::string();
}

std::string HostComputerName() {
  wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(buf, &n) ? win::Narrow(buf) : std::string();
}

std::string ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return win::Narrow(buf);
    }
    buf.resize(buf.size() * 2);
  }
}

std::string TempFolderPath() {
  wchar_t buf[MAX_PATH + 2] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, buf);
  std::string t = n ? win::Narrow(buf) : std::string("C:\\Windows\\Temp\\");
  if (t.back() != PathDelim) t += PathDelim;
  return t;
}

unsigned long CurrentThreadId() {
  return GetCurrentThreadId();
}

int64_t PhysicalMemoryBytes() {
  MEMORYSTATUSEX m{};
  m.dwLength = sizeof m;
  return GlobalMemoryStatusEx(&m) ? static_cast<int64_t>(m.ullTotalPhys) : 0;
}

bool OpenWithDefaultHandler(const std::string& address) {
  // The shell returns once the handler has the address; it never waits for the browser.
  const auto rc = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", win::Widen(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return rc > 32;
}

// Windows has no journal on standard error; its Event Log is a service of its own.
bool StderrIsJournal() {
  return false;
}

std::string ExpandFileName(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  auto abs = std::filesystem::absolute(std::filesystem::path(win::Widen(path)), ec);
  if (ec) return path;
  std::wstring r = abs.lexically_normal().wstring();
  // lexically_normal keeps a trailing separator as an empty last element; drop it unless root.
  if (r.size() > 3 && r.back() == L'\\') r.pop_back();
  return win::Narrow(r);
}

}  // namespace tavik
