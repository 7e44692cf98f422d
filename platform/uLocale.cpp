#include "platform/uLocale.h"

#include <langinfo.h>

#include <cstring>

namespace tavik {

namespace {
char gDateOverride = 0;
char gTimeOverride = 0;

// The first character of a strftime format that is neither a conversion nor a letter or digit.
char FirstSeparator(const char* fmt, char fallback) {
  if (!fmt) return fallback;
  for (const char* p = fmt; *p; ++p) {
    if (*p == '%') {
      if (p[1] == 'E' || p[1] == 'O') ++p;
      if (*++p == '\0') break;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(*p);
    if (c != ' ' && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return *p;
  }
  return fallback;
}
}  // namespace

char LocaleDateSeparator() {
  return gDateOverride ? gDateOverride : FirstSeparator(nl_langinfo(D_FMT), '/');
}
char LocaleTimeSeparator() {
  return gTimeOverride ? gTimeOverride : FirstSeparator(nl_langinfo(T_FMT), ':');
}

void OverrideLocaleSeparators(char date, char time) {
  gDateOverride = date;
  gTimeOverride = time;
}

}  // namespace tavik
