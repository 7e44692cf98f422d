#include "platform/uErrors.h"

#include <cstring>

namespace tavik {

std::string SysErrorMessage(int err) {
  char buf[256];
  // The GNU variant may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string("Unknown error ") + std::to_string(err);
}

}  // namespace tavik
