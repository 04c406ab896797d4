#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "KestroCore/Platform/Keychain/Keychain.h"

namespace kestro {

// A keychain that keeps its items in this object, for tests and for programs run without a
// keyring on request (`--no-keyring`); nothing is written anywhere, and the items go with the
// object. It answers like the Secret Service one does when the service works: the same
// validation of service and account, the same statuses. Safe to use from several threads.
class InMemoryKeychain final : public Keychain {
 public:
  std::int32_t add(std::string_view service, std::string_view account,
                   std::string_view data) override;
  KeychainCopyResult copyMatching(std::string_view service, std::string_view account) override;
  std::int32_t deleteMatching(std::string_view service, std::string_view account) override;

 private:
  std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::string> items_;
};

}  // namespace kestro
