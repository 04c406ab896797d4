#pragma once

// An incremental SHA-256 digest on OpenSSL's EVP interface (which uses the CPU's SHA extensions
// where there are any), for bytes that arrive in pieces: staged files, uploads. libcrypto.so.3 is
// loaded the first time a digest is made, not when the program starts.

#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace kestro {

// One digest in progress. Not copyable; one thread at a time.
class SHA256Digest {
 public:
  // Throws std::runtime_error when libcrypto cannot be loaded or cannot set up a digest.
  SHA256Digest();
  // Adds bytes. Throws std::runtime_error if OpenSSL fails.
  void update(std::string_view bytes);
  // The digest as 64 lower-case hexadecimal digits. Call once; the object is spent afterwards.
  // Throws std::runtime_error if OpenSSL fails.
  std::string finishHex();

  // The digest of `bytes`, as 64 lower-case hexadecimal digits.
  static std::string hex(std::string_view bytes);

 private:
  struct ContextDeleter {
    void operator()(evp_md_ctx_st* context) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
};

}  // namespace kestro
