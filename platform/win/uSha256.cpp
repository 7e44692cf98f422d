#include "platform/uSha256.h"

#include <windows.h>
// windows.h first: bcrypt.h takes its types from it.
#include <bcrypt.h>

#include "platform/uErrors.h"

namespace tavik {

struct TSha256::TState {
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~TState() {
    if (hash) BCryptDestroyHash(hash);
  }
};

namespace {
// One provider for the process: opening it is the costly part, and it serves every thread.
BCRYPT_ALG_HANDLE Provider() {
  static const BCRYPT_ALG_HANDLE alg = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    return BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 ? h : nullptr;
  }();
  return alg;
}

BCRYPT_HASH_HANDLE NewHash() {
  BCRYPT_HASH_HANDLE h = nullptr;
  if (!Provider() || BCryptCreateHash(Provider(), &h, nullptr, 0, nullptr, 0, 0) < 0)
    throw EQorvError("SHA-256 is not available from BCrypt");
  return h;
}
}  // namespace

TSha256::TSha256() : state_(std::make_unique<TState>()) {
  state_->hash = NewHash();
}

TSha256::~TSha256() = default;

void TSha256::Update(const char* data, size_t size) {
  // BCrypt takes at most 4 GiB a call.
  while (size > 0) {
    const ULONG n = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data)), n, 0);
    data += n;
    size -= n;
  }
}

std::string TSha256::HexDigest() {
  unsigned char md[32];
  BCryptFinishHash(state_->hash, md, sizeof md, 0);
  BCryptDestroyHash(state_->hash);
  state_->hash = nullptr;
  state_->hash = NewHash();
  return HexOf(md, sizeof md);
}

}  // namespace tavik
