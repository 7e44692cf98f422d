#include <cctype>

#include "platform/uTls.h"

namespace tavik {

std::string NormalizedFingerprint(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c == ':' || c == ' ' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hex.size() == 64 ? hex : std::string();
}

}  // namespace tavik
