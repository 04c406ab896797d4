#include "KestroCore/Policies/QuickCaptureContextPolicy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

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
      {std::nullopt, "\u00A0\u2029", false, SourceKind::note},  // Unicode spaces only
      {std::nullopt, "", false, SourceKind::note},
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
    const char* scenario;
    std::optional<URL> browserURL;
    std::optional<std::string> clipboardText;
    std::optional<URL> expected;
  } cases[] = {
      {"browser in capitals", url("HTTPS://Example.com/a"), "https://example.org/",
       url("HTTPS://Example.com/a")},
      {"browser http", url("http://example.com"), std::nullopt, url("http://example.com")},
      {"clipboard trimmed", std::nullopt, "  https://example.org/x \n",
       url("https://example.org/x")},
      {"clipboard mixed case, no-break spaces", std::nullopt, "\u00A0Http://example.org/x\u00A0",
       url("Http://example.org/x")},
      {"file browser passed over", url("file:///tmp/a.html"), "https://example.org/",
       url("https://example.org/")},
      {"file browser, prose clipboard", url("file:///tmp/a.html"), "not a URL", std::nullopt},
      {"clipboard not a web scheme", std::nullopt, "ftp://example.org/", std::nullopt},
      {"clipboard with inner space", std::nullopt, "https://example.org/a b", std::nullopt},
      {"https-like scheme", url("httpss://example.com"), std::nullopt, std::nullopt},
      {"nothing", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& [scenario, browserURL, clipboardText, expected] : cases) {
    EXPECT_EQ(QuickCaptureContextPolicy::webURL(browserURL, clipboardText), expected) << scenario;
  }
}

}  // namespace
}  // namespace kestro
