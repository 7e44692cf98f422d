#pragma once
// SHA-256 as the system offers it: OpenSSL's EVP interface (which uses the processor's SHA
// instructions where it has them) on POSIX, BCrypt on Windows. The digests are the ones
// sha256sum prints, so any machine can check a copy.
#include <cstddef>
#include <memory>
#include <string>

namespace tavik {

class TSha256 {
 public:
  TSha256();
  ~TSha256();
  TSha256(const TSha256&) = delete;
  TSha256& operator=(const TSha256&) = delete;
  void Update(const char* data, size_t size);
  // The 64 lowercase hex digits of everything given so far; the hash then starts again.
  std::string HexDigest();

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

// The lowercase hex digits of bytes.
std::string HexOf(const unsigned char* bytes, size_t count);

}  // namespace tavik
