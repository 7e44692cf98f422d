#include "platform/win/uWin.h"

#include <windows.h>

namespace tavik::win {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& utf16) {
  if (utf16.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::string Narrow(const wchar_t* utf16) {
  return utf16 ? Narrow(std::wstring(utf16)) : std::string();
}

std::wstring FilePathW(const std::string& path) {
  std::wstring w = Widen(path);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  // Folders are created at up to 248 characters without the long form, files at up to 260; the
  // long form has no limit but takes no relative paths and no "." or "..", so it gets the full path.
  if (w.size() < 248 || w.rfind(L"\\\\?\\", 0) == 0) return w;
  const DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring full(n, L'\0');
  const DWORD got = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
  full.resize(got);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace tavik::win
