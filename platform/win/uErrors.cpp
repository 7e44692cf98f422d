#include "platform/uErrors.h"

#include <windows.h>

#include "platform/win/uWin.h"

namespace tavik {

// Windows codes (GetLastError, WSAGetLastError) in the system's own words, without the full stop
// and line break it ends them with.
std::string SysErrorMessage(int err) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(err), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string r = n && text ? win::Narrow(text) : std::string();
  if (text) LocalFree(text);
  while (!r.empty() && (r.back() == '\n' || r.back() == '\r' || r.back() == '.' || r.back() == ' '))
    r.pop_back();
  return r.empty() ? "Unknown error " + std::to_string(err) : r;
}

}  // namespace tavik
