// The SMTP client turns the message's rendered lists into envelope addresses.
#include <cstdint>
#include <string>

#include "mail/VumSMTP.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (tavik::ExtractAddress(text).size() > size) __builtin_trap();
  size_t total = 0;
  for (const std::string& a : tavik::ParseAddressList(text)) total += a.size();
  if (total > size) __builtin_trap();  // addresses are pieces of the text, never more
  (void)tavik::RemoveQuoted(text, '"');
  (void)tavik::IsDottedAddress(text);
  return 0;
}
