// Feeds arbitrary bytes to the private-profile reader as a settings file, the transport keys too.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "notify/uNotifier.h"
#include "platform/uIniFile.h"
#include "platform/uTls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = "/tmp/tavik-fuzz-profile-" + std::to_string(::getpid()) + ".ini";
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  for (const char* key : {"Source", "IDPath", "x", ""})
    (void)tavik::ReadProfileString(file, "Main", key, "default");
  (void)tavik::ReadProfileString(file, "Email Settings", "SMTPPort", "");
  // The transport keys as the notifier reads them, the fingerprint as the TLS layer parses it.
  (void)tavik::ReadProfileInt(file, "Email Settings", "SMTPSecurity", 0);
  (void)tavik::ReadProfileString(file, "Email Settings", "SMTPCAFile", "");
  (void)tavik::NormalizedFingerprint(tavik::ReadProfileString(file, "Email Settings", "SMTPFingerprint", ""));
  return 0;
}
