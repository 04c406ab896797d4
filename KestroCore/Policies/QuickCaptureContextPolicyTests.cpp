#include "KestroCore/Policies/QuickCaptureContextPolicy.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

URL url(const char* text) { return URL::fromString(text).value(); }

TEST(QuickCaptureContextPolicyTest, SourceKindTakesTheFirstRuleThatApplies) {
  const struct {
    std::optional<URL> url;
    std::optional<std::string> clipboardText;
    bool screenshotIncluded;
    SourceKind expected;
  } cases[] = {
      {url("file:///tmp/a.txt"), "words", true, SourceKind::url},  // any URL, web or not
      {std::nullopt, "words", true, SourceKind::screenContext},
      {std::nullopt, "words", false, SourceKind::selectedText},
      {std::nullopt, " \n\t\r\n ", false, SourceKind::note},
      {std::nullopt, "\u00A0\u2029", false, SourceKind::note},
      {std::nullopt, std::nullopt, false, SourceKind::note},
  };
  for (const auto& [url, clipboardText, screenshotIncluded, expected] : cases) {
    EXPECT_EQ(QuickCaptureContextPolicy::sourceKind(url, clipboardText, screenshotIncluded),
              expected)
        << clipboardText.value_or("(none)");
  }
}

TEST(QuickCaptureContextPolicyTest, WebURLPrefersTheBrowserThenTheClipboard) {
  const struct {
    std::optional<URL> browserURL;
    std::optional<std::string> clipboardText;
    std::optional<URL> expected;
  } cases[] = {
      {url("HTTPS://Example.com/a"), "https://example.org/", url("HTTPS://Example.com/a")},
      {std::nullopt, "\u00A0Http://example.org/x\n", url("Http://example.org/x")},
      {url("file:///tmp/a.html"), "https://example.org/", url("https://example.org/")},
      {url("file:///tmp/a.html"), "not a URL", std::nullopt},
      {std::nullopt, "ftp://example.org/", std::nullopt},
      {std::nullopt, "https://example.org/a b", std::nullopt},
      {url("httpss://example.com"), std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& [browserURL, clipboardText, expected] : cases) {
    EXPECT_EQ(QuickCaptureContextPolicy::webURL(browserURL, clipboardText), expected)
        << (browserURL ? browserURL->absoluteString() : "-") << " / "
        << clipboardText.value_or("-");
  }
}

}  // namespace
}  // namespace kestro
