// URL parsing and reference resolution. An input is a base URL's text, then optionally a line
// break and a reference to resolve against it; an input that is an absolute path is also made
// into a file URL.

#include <filesystem>
#include <string>

#include "Fuzz/FuzzSupport.h"
#include "KestroCore/Foundation/URL.h"

namespace {

using kestro::URL;
using kestro::fuzz::fail;

// A URL's text parses back to the same URL, with the same parts, and every part can be read.
void checkParsesBack(const URL& url) {
  const auto again = URL::fromString(url.absoluteString());
  if (!again || *again != url || again->scheme() != url.scheme() || again->host() != url.host() ||
      again->port() != url.port() || again->percentEncodedPath() != url.percentEncodedPath() ||
      again->query() != url.query() || again->fragment() != url.fragment()) {
    fail("a URL's text does not parse back to the same URL", url.absoluteString());
  }
  url.path();
  url.lastPathComponent();
  url.pathExtension();
  url.filePath();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = kestro::fuzz::text(data, size);
  const std::size_t lineBreak = input.find('\n');
  const std::string_view baseText = input.substr(0, lineBreak);
  const std::string_view reference =
      lineBreak == std::string_view::npos ? std::string_view{} : input.substr(lineBreak + 1);

  if (const auto base = URL::fromString(baseText)) {
    checkParsesBack(*base);
    if (const auto resolved = base->resolving(reference)) {
      checkParsesBack(*resolved);
      // Resolution removes dot segments from every path but the base's own, which an empty
      // reference keeps as it is. So when the base has none, neither has the result, and the
      // result's text resolves to itself.
      const bool baseHasNoDotSegments = base->resolving(base->absoluteString()) == base;
      if (baseHasNoDotSegments && base->resolving(resolved->absoluteString()) != resolved) {
        fail("a resolved URL does not resolve to itself", resolved->absoluteString());
      }
    }
  }

  // Any absolute path, whatever its bytes, comes back whole from its file URL.
  if (input.starts_with('/') && input.find('\0') == std::string_view::npos) {
    const std::filesystem::path path{std::string(input)};
    const URL url = URL::fileURL(path);
    checkParsesBack(url);
    if (url.filePath() != path) fail("a file URL does not give its path back", input);
  }
  return 0;
}
