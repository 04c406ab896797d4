#include "Platform/Keychain/Keychain.h"

namespace kestro {

bool isValidUTF8(std::string_view bytes) noexcept {
  std::size_t index = 0;
  while (index < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[index]);
    if (lead < 0x80) {
      ++index;
      continue;
    }
    // The length of the sequence and the range its second byte must fall in (RFC 3629's
    // table): the narrowed ranges after E0, ED, F0 and F4 rule out overlong forms, surrogates
    // and code points above U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (bytes.size() - index < length) return false;
    const auto second = static_cast<unsigned char>(bytes[index + 1]);
    if (second < low || second > high) return false;
    for (std::size_t offset = 2; offset < length; ++offset) {
      const auto continuation = static_cast<unsigned char>(bytes[index + offset]);
      if (continuation < 0x80 || continuation > 0xBF) return false;
    }
    index += length;
  }
  return true;
}

bool isValidKeychainAttribute(std::string_view value) noexcept {
  return value.find('\0') == std::string_view::npos && isValidUTF8(value);
}

}  // namespace kestro
