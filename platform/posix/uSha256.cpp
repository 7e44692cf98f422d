#include "platform/uSha256.h"

#include <openssl/evp.h>

#include "platform/uErrors.h"

namespace tavik {

struct TSha256::TState {
  EVP_MD_CTX* ctx = nullptr;
  ~TState() { EVP_MD_CTX_free(ctx); }
};

TSha256::TSha256() : state_(std::make_unique<TState>()) {
  state_->ctx = EVP_MD_CTX_new();
  if (!state_->ctx || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1)
    throw EQorvError("SHA-256 is not available from OpenSSL");
}

TSha256::~TSha256() = default;

void TSha256::Update(const char* data, size_t size) {
  EVP_DigestUpdate(state_->ctx, data, size);
}

std::string TSha256::HexDigest() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(state_->ctx, md, &len);
  EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr);
  return HexOf(md, len);
}

}  // namespace tavik
