#include "KestroCore/Policies/QuickCaptureContextPolicy.h"

#include <cstddef>
#include <string_view>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Policies/ShareItemSelector.h"

namespace kestro {
namespace {

// Unlike the share selector, letter case is forgiven: a browser or a clipboard reports an address
// that was meant as one, however its scheme is written. ASCII folding matches full Unicode
// lower-casing for these two schemes, since a scheme is ASCII by its grammar.
bool isWebURL(const URL& url) noexcept {
  return equalsIgnoringASCIICase(url.scheme(), "https") ||
         equalsIgnoringASCIICase(url.scheme(), "http");
}

}  // namespace

SourceKind QuickCaptureContextPolicy::sourceKind(const std::optional<URL>& url,
                                                 const std::optional<std::string>& clipboardText,
                                                 bool screenshotIncluded) noexcept {
  if (url) return SourceKind::url;
  if (screenshotIncluded) return SourceKind::screenContext;
  if (clipboardText && !trimmingWhitespaceAndNewlines(*clipboardText).empty()) {
    return SourceKind::selectedText;
  }
  return SourceKind::note;
}

std::optional<URL> QuickCaptureContextPolicy::webURL(
    const std::optional<URL>& browserURL, const std::optional<std::string>& clipboardText) {
  if (browserURL && isWebURL(*browserURL)) return browserURL;
  if (clipboardText) {
    // Trimmed, unlike the share selector's text: what sits on the clipboard was copied as an
    // address, often with the line break of the line it came from.
    auto parsed = URL::fromString(trimmingWhitespaceAndNewlines(*clipboardText));
    if (parsed && isWebURL(*parsed)) return parsed;
  }
  return std::nullopt;
}

}  // namespace kestro
