#include "platform/uOs.h"

#include <langinfo.h>

namespace tavik::os {

void LocalTimeOf(std::time_t t, std::tm& parts, long& gmtOffsetSeconds) {
  localtime_r(&t, &parts);
  gmtOffsetSeconds = parts.tm_gmtoff;
}

const char* DateFormat() {
  return nl_langinfo(D_FMT);
}

const char* TimeFormat() {
  return nl_langinfo(T_FMT);
}

}  // namespace tavik::os
