// Feeds arbitrary bytes to the private-profile reader as a settings file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/uIniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = "/tmp/tavik-fuzz-profile-" + std::to_string(::getpid()) + ".ini";
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  for (const char* key : {"Source", "IDPath", "x", ""})
    (void)tavik::ReadProfileString(file, "Main", key, "default");
  (void)tavik::ReadProfileString(file, "Email Settings", "SMTPPort", "");
  return 0;
}
