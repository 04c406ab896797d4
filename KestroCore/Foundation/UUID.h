#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestro {

// A universally unique identifier: 16 bytes, written everywhere (JSON, database columns, URL
// paths, header values, file names, settings) as the canonical 36-character hyphenated string in
// upper case, and read in either case. A plain value, safe to share between threads.
class UUID {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // A random (version 4, RFC 4122 variant) identifier from the operating system's random source.
  // Throws std::system_error if the system cannot provide random bytes.
  UUID();
  explicit constexpr UUID(const Bytes& bytes) noexcept : bytes_(bytes) {}

  // Reads "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" with hexadecimal digits in either case.
  // Anything else (braces, missing hyphens, a non-hex digit, another length) gives nothing.
  static std::optional<UUID> fromString(std::string_view text) noexcept;

  // The canonical upper-case form, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
  std::string uuidString() const;

  const Bytes& bytes() const noexcept { return bytes_; }

  bool operator==(const UUID&) const = default;
  auto operator<=>(const UUID&) const = default;

 private:
  Bytes bytes_{};
};

}  // namespace kestro

template <>
struct std::hash<kestro::UUID> {
  std::size_t operator()(const kestro::UUID& uuid) const noexcept;
};
