#pragma once

#include <optional>
#include <set>
#include <string>
#include <utility>

namespace kestro {

// Whether a capture may be taken from another application's window: never from an excluded
// application, never from a private browsing window or a password prompt. A plain value; a
// const policy may be consulted from any thread.
struct CapturePrivacyPolicy {
  explicit CapturePrivacyPolicy(std::set<std::string> excludedBundleIdentifiers)
      : excludedBundleIdentifiers(std::move(excludedBundleIdentifiers)) {}

  // Applications that must never be captured, compared exactly (letter case matters).
  std::set<std::string> excludedBundleIdentifiers;

  // False when the application is excluded, or when the window title holds "private browsing",
  // "incognito" or "password" in any letter case, anywhere (also inside a longer word). Missing
  // arguments refuse nothing. Pure; never throws.
  bool mayCapture(const std::optional<std::string>& bundleIdentifier,
                  const std::optional<std::string>& windowTitle) const noexcept;

  bool operator==(const CapturePrivacyPolicy&) const = default;
};

}  // namespace kestro
