// Scrambled settings may have been edited by hand; unscrambling must take anything.
#include <cstdint>
#include <string>

#include "QorvLib/uQorvCrypt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t key = static_cast<uint16_t>(data[0] | (data[1] << 8));
  std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
  (void)tavik::UnscrambleText(text, key);
  // Round trip of the same bytes as clear text must give them back.
  if (tavik::UnscrambleText(tavik::ScrambleText(text, key), key) != text) __builtin_trap();
  return 0;
}
