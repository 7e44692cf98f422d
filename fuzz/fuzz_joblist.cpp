// The job file's list splitter takes whatever an operator typed.
#include <cstdint>
#include <string>

#include "core/uJobSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string value(reinterpret_cast<const char*>(data), size);
  auto entries = tavik::SplitList(value);
  size_t total = 0;
  for (const auto& e : entries) total += e.size();
  if (total > size) __builtin_trap();  // entries are pieces of the value, never more
  return 0;
}
