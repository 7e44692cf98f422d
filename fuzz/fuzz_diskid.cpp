// The identity file on the backup disk may have been written by anything.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/uDiskIdentity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = "/tmp/tavik-fuzz-diskid-" + std::to_string(::getpid()) + ".txt";
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  const std::string id = tavik::ReadDiskID(file);
  if (id.size() > size || id.find('\n') != std::string::npos) __builtin_trap();
  return 0;
}
