#include "KestroCore/Credentials/SecureTokenStore.h"

#include <utility>

#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Keychain/SecretServiceKeychain.h"

namespace kestro {

SecureTokenStore::SecureTokenStore(std::string service)
    : SecureTokenStore(std::move(service), std::make_shared<SecretServiceKeychain>()) {}

SecureTokenStore::SecureTokenStore(std::string service, std::shared_ptr<Keychain> keychain)
    : service(std::move(service)), keychain_(std::move(keychain)) {}

void SecureTokenStore::save(std::string_view token, std::string_view account) const {
  if (!isValidUTF8(token)) {
    throw SecureTokenError::unexpectedStatus(kKeychainStatusInvalidParameter);
  }
  // One call that replaces the value in place. Deleting the old item first and then adding the
  // new one would leave the account without any token whenever the add failed.
  const std::int32_t status = keychain_->add(service, account, token);
  if (status != kKeychainStatusSuccess) throw SecureTokenError::unexpectedStatus(status);
}

std::optional<std::string> SecureTokenStore::load(std::string_view account) const {
  KeychainCopyResult result = keychain_->copyMatching(service, account);
  if (result.status == kKeychainStatusItemNotFound) return std::nullopt;
  if (result.status != kKeychainStatusSuccess || !result.data) {
    throw SecureTokenError::unexpectedStatus(result.status);
  }
  if (!isValidUTF8(*result.data)) return std::nullopt;
  return std::move(result.data);
}

void SecureTokenStore::deleteToken(std::string_view account) const {
  const std::int32_t status = keychain_->deleteMatching(service, account);
  if (status != kKeychainStatusSuccess && status != kKeychainStatusItemNotFound) {
    throw SecureTokenError::unexpectedStatus(status);
  }
}

}  // namespace kestro
