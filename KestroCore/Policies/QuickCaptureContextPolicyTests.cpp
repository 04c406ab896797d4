#include "KestroCore/Policies/QuickCaptureContextPolicy.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

URL url(const char* text) { return URL::fromString(text).value(); }

TEST(QuickCaptureContextPolicyTest, SourceKindTakesTheFirstRuleThatAppliesAndTheWebURLItsSource) {
  const struct {
    std::optional<URL> url;
    std::optional<std::string> clipboardText;
    bool screenshotIncluded;
    SourceKind expected;
  } kinds[] = {
      {url("file:///tmp/a.txt"), "words", true, SourceKind::url},  // any URL, web or not
      {std::nullopt, "words", true, SourceKind::screenContext},
      {std::nullopt, "words", false, SourceKind::selectedText},
      {std::nullopt, std::nullopt, false, SourceKind::note},
  };
  for (const auto& [url, clipboardText, screenshotIncluded, expected] : kinds) {
    EXPECT_EQ(QuickCaptureContextPolicy::sourceKind(url, clipboardText, screenshotIncluded),
              expected)
        << clipboardText.value_or("(none)");
  }

  // The browser's web address first, then the clipboard's, trimmed; any letter
  // case.
  const struct {
    std::optional<URL> browserURL;
    std::optional<std::string> clipboardText;
    std::optional<URL> expected;
  } addresses[] = {
      {url("HTTPS://Example.com/a"), "https://example.org/", url("HTTPS://Example.com/a")},
      {std::nullopt, "\u00A0Http://example.org/x\n", url("Http://example.org/x")},
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
