#include "KestroCore/Policies/QuickCaptureContextPolicy.h"

#include <cstddef>
#include <string_view>

#include "KestroCore/Policies/ShareItemSelector.h"

namespace kestro {
namespace {

bool equalsIgnoringASCIICase(std::string_view text, std::string_view lowercase) noexcept {
  if (text.size() != lowercase.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char byte = text[i];
    const char folded = byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
    if (folded != lowercase[i]) return false;
  }
  return true;
}

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
