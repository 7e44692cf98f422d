// The notifier's recipient lists come from the settings file as an operator typed them.
#include <cstdint>
#include <string>

#include "QorvLib/uQorvFiles.h"
#include "notify/uNotifierSend.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string list(reinterpret_cast<const char*>(data), size);
  for (const std::string& e : tavik::RecipientEntries(list))
    if (e.empty()) __builtin_trap();
  for (const tavik::TRecipient& r : tavik::Recipients(list)) {
    // An empty or untrimmed address would be offered to the server and refused.
    if (r.address.empty() || tavik::Trim(r.address) != r.address) __builtin_trap();
  }
  return 0;
}
