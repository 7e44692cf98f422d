#include "platform/uSha256.h"

namespace tavik {

std::string HexOf(const unsigned char* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 15];
  }
  return hex;
}

}  // namespace tavik
