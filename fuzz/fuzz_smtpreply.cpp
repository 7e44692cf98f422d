// Server replies arrive in pieces of any size; the first byte chooses how the rest is cut.
#include <cstdint>
#include <string>

#include "mail/VumSMTP.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = data[0] % 16 + 1;
  const std::string all(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t whole = tavik::CompleteReplyLength(all);
  if (whole > all.size() || (whole > 0 && all[whole - 1] != '\n')) __builtin_trap();
  // Gathering piece by piece must end on the same reply as judging the text at once.
  std::string text;
  size_t found = 0;
  for (size_t p = 0; p < all.size() && found == 0; p += piece) {
    text.append(all, p, piece);
    found = tavik::CompleteReplyLength(text);
  }
  if (found != whole) __builtin_trap();
  const std::string reply = whole > 0 ? all.substr(0, whole) : all;
  const tavik::TReplyParts parts = tavik::SplitReply(reply);
  if (parts.Code.size() > 4 || parts.Text.size() > reply.size()) __builtin_trap();
  return 0;
}
