#include "KestroCore/Foundation/SHA256.h"

#include <openssl/evp.h>

#include <stdexcept>
#include <string>

#include "KestroCore/Foundation/DynamicLibrary.h"

namespace kestro {
namespace {

// libcrypto is loaded on first use rather than linked. Its start-up (some twenty thousand
// relocations) costs a short-lived process about a millisecond, more than the share target
// spends on a whole web-address share; most shares never hash anything.
constexpr const char* kLibrary = "libcrypto.so.3";  // the soname of every OpenSSL 3 release

struct Crypto {
  decltype(&EVP_MD_CTX_new) newContext;
  decltype(&EVP_MD_CTX_free) freeContext;
  decltype(&EVP_sha256) sha256;
  decltype(&EVP_DigestInit_ex) init;
  decltype(&EVP_DigestUpdate) update;
  decltype(&EVP_DigestFinal_ex) final;
};

Crypto load() {
  const DynamicLibrary library(kLibrary);
  Crypto crypto{};
  library.resolve("EVP_MD_CTX_new", crypto.newContext);
  library.resolve("EVP_MD_CTX_free", crypto.freeContext);
  library.resolve("EVP_sha256", crypto.sha256);
  library.resolve("EVP_DigestInit_ex", crypto.init);
  library.resolve("EVP_DigestUpdate", crypto.update);
  library.resolve("EVP_DigestFinal_ex", crypto.final);
  return crypto;
}

const Crypto& crypto() {
  // A failed load throws out of the initialiser, which leaves it to be tried again next time.
  static const Crypto loaded = [] {
    try {
      return load();
    } catch (const std::runtime_error& error) {
      throw std::runtime_error(std::string("SHA-256 is not available: ") + error.what());
    }
  }();
  return loaded;
}

}  // namespace

void SHA256Digest::ContextDeleter::operator()(evp_md_ctx_st* context) const noexcept {
  // Only contexts made by crypto().newContext reach here, so the library is loaded.
  crypto().freeContext(context);
}

SHA256Digest::SHA256Digest() : context_(crypto().newContext()) {
  if (!context_ || crypto().init(context_.get(), crypto().sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
}

void SHA256Digest::update(std::string_view bytes) {
  if (crypto().update(context_.get(), bytes.data(), bytes.size()) != 1) {
    throw std::runtime_error("SHA-256 update failed");
  }
}

std::string SHA256Digest::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (crypto().final(context_.get(), digest, &length) != 1) {
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
