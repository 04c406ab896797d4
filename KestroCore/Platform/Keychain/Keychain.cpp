#include "KestroCore/Platform/Keychain/Keychain.h"

#include "KestroCore/Foundation/Text.h"

namespace kestro {

bool isValidKeychainAttribute(std::string_view value) noexcept {
  return value.find('\0') == std::string_view::npos && isValidUTF8(value);
}

}  // namespace kestro
