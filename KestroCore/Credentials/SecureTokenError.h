#pragma once

#include <cstdint>

#include "KestroCore/Foundation/VariantError.h"

namespace kestro {

// The cases of SecureTokenError; name them as SecureTokenError::UnexpectedStatus.
namespace securetokenerror {
struct UnexpectedStatus {
  std::int32_t status;
  bool operator==(const UnexpectedStatus&) const = default;
};
}  // namespace securetokenerror

// The one error of the token store: a keychain call returned a status that the operation does
// not accept. It carries the raw status (see KestroCore/Platform/Keychain/Keychain.h for the ones
// the keychains give) and no message of its own. Values compare by case and payload, are plain, and
// may cross threads. what() is "unexpected keychain status -25308": for logs and command lines,
// not for users.
class SecureTokenError : public VariantError<securetokenerror::UnexpectedStatus> {
 public:
  using UnexpectedStatus = securetokenerror::UnexpectedStatus;

  static SecureTokenError unexpectedStatus(std::int32_t status);

 private:
  explicit SecureTokenError(Case value);
};

}  // namespace kestro
