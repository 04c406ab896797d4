#include "KestroCore/Policies/CapturePrivacyPolicy.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace kestro {
namespace {

constexpr std::array<std::string_view, 3> kRefusedTitleKeywords{"private browsing", "incognito",
                                                                "password"};

constexpr char asciiLowercased(char byte) noexcept {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

// Whether the title, lower-cased, contains `keyword` (ASCII, lower case).
//
// Folding ASCII letters only, byte by byte, answers exactly as the full Unicode lower-case
// mapping would for these keywords, without a Unicode library:
// - the keywords are ASCII, and in UTF-8 an ASCII byte is always a whole character, so a match
//   can only span ASCII characters, whose Unicode and ASCII lower cases agree;
// - the only characters outside ASCII whose lower case contains an ASCII letter are the Kelvin
//   sign U+212A (to "k", in no keyword) and the capital I with dot above U+0130 (to "i" and the
//   combining dot U+0307; a keyword would have to end in "i" or go on with that dot to match).
// The search never allocates, so it cannot fail. Invalid UTF-8 is searched as bytes, harmlessly.
bool containsFolded(std::string_view title, std::string_view keyword) noexcept {
  const auto match = std::search(
      title.begin(), title.end(), keyword.begin(), keyword.end(),
      [](char fromTitle, char fromKeyword) { return asciiLowercased(fromTitle) == fromKeyword; });
  return match != title.end();
}

}  // namespace

bool CapturePrivacyPolicy::mayCapture(
    const std::optional<std::string>& bundleIdentifier,
    const std::optional<std::string>& windowTitle) const noexcept {
  if (bundleIdentifier && excludedBundleIdentifiers.contains(*bundleIdentifier)) return false;
  const std::string_view title = windowTitle ? std::string_view(*windowTitle) : std::string_view();
  return std::none_of(kRefusedTitleKeywords.begin(), kRefusedTitleKeywords.end(),
                      [title](std::string_view keyword) { return containsFolded(title, keyword); });
}

}  // namespace kestro
