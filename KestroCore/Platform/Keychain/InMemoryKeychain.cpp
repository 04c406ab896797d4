#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"

namespace kestro {
namespace {

bool validKey(std::string_view service, std::string_view account) {
  return isValidKeychainAttribute(service) && isValidKeychainAttribute(account);
}

}  // namespace

std::int32_t InMemoryKeychain::add(std::string_view service, std::string_view account,
                                   std::string_view data) {
  if (!validKey(service, account)) return kKeychainStatusInvalidParameter;
  const std::lock_guard lock(mutex_);
  items_.insert_or_assign({std::string(service), std::string(account)}, std::string(data));
  return kKeychainStatusSuccess;
}

KeychainCopyResult InMemoryKeychain::copyMatching(std::string_view service,
                                                  std::string_view account) {
  if (!validKey(service, account)) return {kKeychainStatusInvalidParameter, std::nullopt};
  const std::lock_guard lock(mutex_);
  const auto item = items_.find(std::pair{std::string(service), std::string(account)});
  if (item == items_.end()) return {kKeychainStatusItemNotFound, std::nullopt};
  return {kKeychainStatusSuccess, item->second};
}

std::int32_t InMemoryKeychain::deleteMatching(std::string_view service, std::string_view account) {
  if (!validKey(service, account)) return kKeychainStatusInvalidParameter;
  const std::lock_guard lock(mutex_);
  const auto erased = items_.erase(std::pair{std::string(service), std::string(account)});
  return erased == 0 ? kKeychainStatusItemNotFound : kKeychainStatusSuccess;
}

}  // namespace kestro
