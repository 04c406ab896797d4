#pragma once

// What the fuzz targets share. A failed check aborts with a message on stderr, which libFuzzer
// reports together with the input that caused it; so does any exception a target lets escape.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "KestroCore/Foundation/JSONCoding.h"

namespace kestro::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

[[noreturn]] inline void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Decoding `text` as a T either fails with DecodingError and nothing else, or gives a value
// that is written (which cannot fail: it holds only what JSON carried), read back as an equal
// value, and written again as the same text.
template <class T>
void checkRoundTrip(std::string_view text) {
  std::optional<T> value;
  try {
    value.emplace(decodeJSONString<T>(text));
  } catch (const DecodingError&) {
    return;
  }
  const std::string written = encodeJSONString(*value);
  const T reread = decodeJSONString<T>(written);
  if (!(reread == *value)) fail("the value read back differs from the one written", written);
  if (encodeJSONString(reread) != written) fail("the value read back writes differently", written);
}

}  // namespace kestro::fuzz
