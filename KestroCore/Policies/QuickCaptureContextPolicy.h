#pragma once

#include <optional>
#include <string>

#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Models/CaptureEnvelope.h"

namespace kestro {

// Turns what the application knows about the user's current context (the browser's address, the
// clipboard, whether a screenshot is included) into a capture's kind and web address. Stateless
// pure functions, callable from any thread.
namespace QuickCaptureContextPolicy {

// `url` for any URL (web or not), else `screenContext` for a screenshot, else `selectedText` for
// clipboard text that is not blank, else `note`. Never throws.
SourceKind sourceKind(const std::optional<URL>& url,
                      const std::optional<std::string>& clipboardText,
                      bool screenshotIncluded) noexcept;

// The browser's URL when its scheme is http or https in any letter case; otherwise the clipboard
// text, trimmed, when it parses as such a URL; otherwise nothing. Throws only std::bad_alloc.
std::optional<URL> webURL(const std::optional<URL>& browserURL,
                          const std::optional<std::string>& clipboardText);

}  // namespace QuickCaptureContextPolicy

}  // namespace kestro
