#include "KestroCore/Foundation/UUID.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace kestro {
namespace {

constexpr char kUpperHexDigits[] = "0123456789ABCDEF";
// Offsets of the hyphens in the 36-character form.
constexpr bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// A table rather than comparisons: UUIDs are read by the thousand in a page of items, and their
// digits are random, so branches on them are mispredicted often.
constexpr auto kHexValues = [] {
  std::array<signed char, 256> values{};
  values.fill(-1);
  for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<signed char>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) values[c] = static_cast<signed char>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) values[c] = static_cast<signed char>(c - 'A' + 10);
  return values;
}();

int hexValue(char c) noexcept { return kHexValues[static_cast<unsigned char>(c)]; }

}  // namespace

UUID::UUID() {
  // The kernel's generator directly: OpenSSL's would first load its configuration and providers,
  // which costs a short-lived program such as the share target more than the rest of its work.
  // Requests of up to 256 bytes are never cut short once the generator is ready; only a signal
  // can interrupt one.
  ssize_t got;
  do {
    got = ::getrandom(bytes_.data(), bytes_.size(), 0);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(bytes_.size())) {
    throw std::system_error(got < 0 ? errno : EIO, std::generic_category(),
                            "no random bytes available for a UUID");
  }
  bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
  bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

std::optional<UUID> UUID::fromString(std::string_view text) noexcept {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
      text[23] != '-') {
    return std::nullopt;
  }
  // Where each byte's two digits start, hyphens stepped over.
  static constexpr std::uint8_t kDigitPairs[16] = {0,  2,  4,  6,  9,  11, 14, 16,
                                                   19, 21, 24, 26, 28, 30, 32, 34};
  Bytes bytes{};
  int invalid = 0;  // negative once any digit is not one
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = hexValue(text[kDigitPairs[i]]);
    const int low = hexValue(text[kDigitPairs[i] + 1]);
    invalid |= high | low;
    bytes[i] =
        static_cast<std::uint8_t>(static_cast<unsigned>(high) << 4 | static_cast<unsigned>(low));
  }
  if (invalid < 0) return std::nullopt;
  return UUID(bytes);
}

std::string UUID::uuidString() const {
  std::string text(36, '-');
  std::size_t out = 0;
  for (std::uint8_t byte : bytes_) {
    if (isHyphenPosition(out)) ++out;
    text[out++] = kUpperHexDigits[byte >> 4];
    text[out++] = kUpperHexDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace kestro

std::size_t std::hash<kestro::UUID>::operator()(const kestro::UUID& uuid) const noexcept {
  // The bytes are random already; folding them is as good a hash as any.
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  std::memcpy(&high, uuid.bytes().data(), 8);
  std::memcpy(&low, uuid.bytes().data() + 8, 8);
  return static_cast<std::size_t>(high ^ (low * 0x9E3779B97F4A7C15ULL));
}
