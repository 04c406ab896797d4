#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "KestroCore/Credentials/SecureTokenError.h"
#include "KestroCore/Platform/Keychain/Keychain.h"

namespace kestro {

// Secret strings (tokens) kept in the keychain as generic-password items, one per (service,
// account). It holds nothing but the service name and the keychain, caches nothing, and every
// call goes to the keychain. Tokens are text: UTF-8 in, UTF-8 out.
//
// A plain value: copies share the keychain. The store has no lock and no shared mutable state;
// calls from several threads go straight to the keychain, so two concurrent saves for one
// account may leave either token.
class SecureTokenStore {
 public:
  // A store for `service` on the desktop's Secret Service (KestroCore/Platform/Keychain/
  // SecretServiceKeychain.h), which may show its unlock prompt when the keyring is locked.
  // Connects to nothing yet, so it cannot fail.
  explicit SecureTokenStore(std::string service);
  // A store for `service` on `keychain` (an InMemoryKeychain, say, for a program run without a
  // keyring). `keychain` must not be null.
  SecureTokenStore(std::string service, std::shared_ptr<Keychain> keychain);

  // The keychain service under which every item of this store lives; changing it redirects the
  // later calls.
  std::string service;

  // Stores `token` for `account`, replacing any earlier token in one step: when the save fails,
  // the earlier token is still there. Throws SecureTokenError::unexpectedStatus with the
  // keychain's status; with kKeychainStatusInvalidParameter, before asking the keychain, when
  // `token` is not valid UTF-8.
  void save(std::string_view token, std::string_view account) const;

  // The token stored for `account`, or nothing when there is none, or when the stored value
  // (written by some other program) is not valid UTF-8. Throws
  // SecureTokenError::unexpectedStatus whenever the keychain could not answer (no Secret
  // Service, a locked keyring, a dismissed prompt): a failure never looks like "no token". A
  // keychain that reports success without a value gives unexpectedStatus(0).
  std::optional<std::string> load(std::string_view account) const;

  // Removes the token of `account`; removing a token that does not exist succeeds. Throws
  // SecureTokenError::unexpectedStatus with any other status of the keychain.
  //
  // The operation is "delete"; that is a C++ keyword, so the name keeps the word and adds what
  // is deleted.
  void deleteToken(std::string_view account) const;

  // Same service and the very same keychain.
  bool operator==(const SecureTokenStore&) const = default;

 private:
  std::shared_ptr<Keychain> keychain_;
};

}  // namespace kestro
