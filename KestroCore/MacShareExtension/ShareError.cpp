#include "KestroCore/MacShareExtension/ShareError.h"

#include <filesystem>
#include <system_error>

#include "KestroCore/Outbox/OutboxError.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"

namespace kestro {

ShareFailure shareFailureOf(const std::exception& error) noexcept {
  if (const auto* share = dynamic_cast<const ShareError*>(&error)) return share->kind();
  // A filesystem_error is a system_error too.
  if (dynamic_cast<const OutboxError*>(&error) || dynamic_cast<const UserDefaultsError*>(&error) ||
      dynamic_cast<const std::system_error*>(&error)) {
    return ShareFailure::storage;
  }
  return ShareFailure::failed;
}

}  // namespace kestro
