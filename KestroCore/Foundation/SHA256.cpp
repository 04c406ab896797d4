#include "KestroCore/Foundation/SHA256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace kestro {

void SHA256Digest::ContextDeleter::operator()(evp_md_ctx_st* context) const noexcept {
  EVP_MD_CTX_free(context);
}

SHA256Digest::SHA256Digest() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
}

void SHA256Digest::update(std::string_view bytes) {
  if (EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1) {
    throw std::runtime_error("SHA-256 update failed");
  }
}

std::string SHA256Digest::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) {
    throw std::runtime_error("SHA-256 final failed");
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kDigits[digest[i] >> 4]);
    hex.push_back(kDigits[digest[i] & 0x0F]);
  }
  return hex;
}

std::string SHA256Digest::hex(std::string_view bytes) {
  SHA256Digest digest;
  digest.update(bytes);
  return digest.finishHex();
}

}  // namespace kestro
