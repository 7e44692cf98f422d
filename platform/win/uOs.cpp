#include "platform/uOs.h"

#include <windows.h>

#include <cstdlib>

#include "platform/win/uWin.h"

namespace tavik::os {

void LocalTimeOf(std::time_t t, std::tm& parts, long& gmtOffsetSeconds) {
  localtime_s(&parts, &t);
  // The local fields read as if they were UTC, less the moment itself: the offset, daylight saving
  // included.
  std::tm copy = parts;
  gmtOffsetSeconds = static_cast<long>(_mkgmtime(&copy) - t);
}

namespace {
// The user's pattern ("dd/MM/yyyy", "HH:mm:ss"); SeparatorOf takes its first non-letter.
const char* LocaleFormat(LCTYPE what, std::string& keep) {
  wchar_t buf[128] = {};
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, what, buf, 128) <= 0) return nullptr;
  keep = win::Narrow(buf);
  return keep.c_str();
}
}  // namespace

const char* DateFormat() {
  static thread_local std::string keep;
  return LocaleFormat(LOCALE_SSHORTDATE, keep);
}

const char* TimeFormat() {
  static thread_local std::string keep;
  return LocaleFormat(LOCALE_STIMEFORMAT, keep);
}

}  // namespace tavik::os
