#pragma once

// An incremental SHA-256 digest on OpenSSL's EVP interface, for bytes that arrive in pieces.

#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace kestro::devserver {

class SHA256Digest {
 public:
  // Throws std::runtime_error when OpenSSL cannot set up a digest.
  SHA256Digest();
  void update(std::string_view bytes);
  // The digest as 64 lower-case hexadecimal digits. Call once; the object is spent afterwards.
  std::string finishHex();

 private:
  struct ContextDeleter {
    void operator()(evp_md_ctx_st* context) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
};

}  // namespace kestro::devserver
