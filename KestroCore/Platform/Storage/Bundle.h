#pragma once

// The information dictionary of a program: facts fixed when it was built (its version, the
// application group it belongs to), read by key.
//
// A Bundle is an immutable value; share it between threads freely.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>

namespace kestro {

class Bundle {
 public:
  // A value of the dictionary. Property lists hold more than strings, and a reader that expects
  // a string must be ready for something else.
  using InfoValue = std::variant<std::string, bool, std::int64_t, double>;
  using InfoDictionary = std::map<std::string, InfoValue, std::less<>>;

  explicit Bundle(InfoDictionary infoDictionary) : infoDictionary_(std::move(infoDictionary)) {}

  // The bundle of the programs built here, its dictionary generated at build time:
  // "CFBundleShortVersionString" is the project's version and "KestroAppGroupIdentifier" the
  // application group the build was configured with.
  static const Bundle& main();

  // The value under `key`, or null when there is none.
  const InfoValue* object(std::string_view forInfoDictionaryKey) const;

  const InfoDictionary& infoDictionary() const noexcept { return infoDictionary_; }

 private:
  InfoDictionary infoDictionary_;
};

}  // namespace kestro
