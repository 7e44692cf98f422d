#include "platform/uLocale.h"

#include <cstring>

#include "platform/uOs.h"

namespace tavik {

namespace {
char gDateOverride = 0;
char gTimeOverride = 0;

bool PrintableAscii(char c) {
  return c > ' ' && c < 0x7F;
}
}  // namespace

// The first character of the format that is neither a conversion nor a letter, digit or blank.
// It is taken whole: the first byte of a multi-byte character would be a broken character in
// every log line, so such a separator is no separator here.
char SeparatorOf(const char* fmt, char fallback) {
  if (!fmt) return fallback;
  for (const char* p = fmt; *p; ++p) {
    if (*p == '%') {
      if (p[1] == 'E' || p[1] == 'O') ++p;
      if (*++p == '\0') break;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(*p);
    if (c != ' ' && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
      return PrintableAscii(*p) ? *p : fallback;
  }
  return fallback;
}

char LocaleDateSeparator() {
  if (gDateOverride) return PrintableAscii(gDateOverride) ? gDateOverride : '/';
  return SeparatorOf(os::DateFormat(), '/');
}
char LocaleTimeSeparator() {
  if (gTimeOverride) return PrintableAscii(gTimeOverride) ? gTimeOverride : ':';
  return SeparatorOf(os::TimeFormat(), ':');
}

void OverrideLocaleSeparators(char date, char time) {
  gDateOverride = date;
  gTimeOverride = time;
}

}  // namespace tavik
