#include "KestroCore/Policies/QuickCaptureContextPolicy.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

URL url(const char* text) { return URL::fromString(text).value(); }

TEST(QuickCaptureContextPolicyTest, SourceKindTakesTheFirstRuleThatAppliesAndTheWebURLItsSource) {
  // Any URL, web or not, makes an address capture; a screenshot makes the rest screen context.
  EXPECT_EQ(QuickCaptureContextPolicy::sourceKind(url("file:///tmp/a.txt"), "words", true),
            SourceKind::url);
  EXPECT_EQ(QuickCaptureContextPolicy::sourceKind(std::nullopt, "words", true),
            SourceKind::screenContext);

  // The browser's web address first, then the clipboard's; any letter case.
  const struct {
    std::optional<URL> browserURL;
    std::optional<std::string> clipboardText;
    std::optional<URL> expected;
  } addresses[] = {
      {url("HTTPS://Example.com/a"), "https://example.org/", url("HTTPS://Example.com/a")},
      {url("file:///tmp/a.html"), "https://example.org/", url("https://example.org/")},
      {url("file:///tmp/a.html"), "not a URL", std::nullopt},
      {url("httpss://example.com"), "ftp://example.org/", std::nullopt},
  };
  for (const auto& [browserURL, clipboardText, expected] : addresses) {
    EXPECT_EQ(QuickCaptureContextPolicy::webURL(browserURL, clipboardText), expected)
        << clipboardText.value_or("-");
  }
}

}  // namespace
}  // namespace kestro
