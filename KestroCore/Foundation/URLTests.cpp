#include "KestroCore/Foundation/URL.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestro {
namespace {

using OptionalText = std::optional<std::string_view>;

TEST(URLTest, RefusesTextOutsideTheGenericSyntax) {
  // clang-format off
  const std::string_view kRefused[] = {
      "", "foo/bar", "//host/path", ":foo", "1http://x", "ht tp://x", "http://a b",
      "http://a/%zz", "http://a/%2", "http://a/%", "http://a/<x>", "http://a/^",
      "http://a/\xC3\xA9", "http://a/b#c#d", "http://a@b@c/", "http://a:80x/", "http://a:65536/",
      "http://a:99999999999999999999/", "http://a]b/", "http://[::1/", "http://[::1]x/",
      "http://[::1%25eth0]/"};
  // clang-format on
  for (std::string_view text : kRefused) EXPECT_FALSE(URL::fromString(text)) << text;
  // Between brackets, only the IP literals of the grammar.
  for (std::string_view literal :
       {":::", "1::2::3", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7::8", "1:2:3:4:5:6:7:1.2.3.4",
        "12345::", "1::2:", "::256.1.1.1", "::01.1.1.1", "v1.", "v1.a/b"}) {
    EXPECT_FALSE(URL::fromString("http://[" + std::string(literal) + "]/")) << literal;
  }
}

TEST(URLTest, RecordsEachComponentAsWritten) {
  struct Case {
    std::string_view text, scheme;
    OptionalText host;
    std::optional<int> port;
    std::string_view path;
    OptionalText query, fragment;
  };
  const Case kCases[] = {
      {"http://[::1]:8080/x", "http", "::1", 8080, "/x", {}, {}},
      {"mailto:a@b", "mailto", {}, {}, "a@b", {}, {}},
      {"HTTP://Example.com", "HTTP", "Example.com", {}, "", {}, {}},
      {"http://a/b?#", "http", "a", {}, "/b", "", ""},
      {"http://u:p@h:65535/p?q=1/?#f/?", "http", "h", 65535, "/p", "q=1/?", "f/?"},
      {"http://@:0", "http", "", 0, "", {}, {}},
      {"a+b.c-d:/p//q", "a+b.c-d", {}, {}, "/p//q", {}, {}},
      {"http://[1:2:3:4:5:6:7:8]", "http", "1:2:3:4:5:6:7:8", {}, "", {}, {}},
      {"http://[1::255.0.10.1]", "http", "1::255.0.10.1", {}, "", {}, {}},
      {"http://[v1.x]", "http", "v1.x", {}, "", {}, {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    const std::optional<URL> url = URL::fromString(c.text);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString(), c.text);
    EXPECT_EQ(url->scheme(), c.scheme);
    EXPECT_EQ(url->host(), c.host);
    EXPECT_EQ(url->port(), c.port);
    EXPECT_EQ(url->percentEncodedPath(), c.path);
    EXPECT_EQ(url->query(), c.query);
    EXPECT_EQ(url->fragment(), c.fragment);
  }
}

TEST(URLTest, DecodesPathAndNamesItsLastComponent) {
  struct Case {
    std::string_view text, path, lastComponent, extension;
  };
  const Case kCases[] = {
      {"http://a/x%20y/b.tar.gz/", "/x y/b.tar.gz/", "b.tar.gz", "gz"},
      {"http://a/.d/.profile", "/.d/.profile", ".profile", ""},
      {"http://a/a%2Fb.c", "/a/b.c", "a/b.c", "c"},
      {"http://a", "", "", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    const URL url = *URL::fromString(c.text);
    EXPECT_EQ(url.path(), c.path);
    EXPECT_EQ(url.lastPathComponent(), c.lastComponent);
    EXPECT_EQ(url.pathExtension(), c.extension);
  }
}

TEST(URLTest, FileURLEscapesEveryByteAndRoundTrips) {
  EXPECT_EQ(URL::fileURL("/tmp/a b/\xC3\xA9.txt").absoluteString(), "file:///tmp/a%20b/%C3%A9.txt");

  std::string allBytes = "/";
  for (int byte = 1; byte <= 0xFF; ++byte) {
    if (byte != '/') allBytes.push_back(static_cast<char>(byte));
  }
  const URL allBytesURL = URL::fileURL(allBytes);
  EXPECT_TRUE(URL::fromString(allBytesURL.absoluteString()));
  EXPECT_EQ(allBytesURL.filePath(), std::filesystem::path(allBytes));
  EXPECT_EQ(allBytesURL.lastPathComponent(), allBytes.substr(1));
}

TEST(URLTest, FilePathOnlyForLocalAbsoluteFileURLs) {
  const std::pair<std::string_view, OptionalText> kCases[] = {
      {"file:///a%3Fb", "/a?b"},         {"FILE://LocalHost/x", "/x"},
      {"file://server/x", std::nullopt}, {"file:x/y", std::nullopt},
      {"file:///a%00b", std::nullopt},   {"http:///x", std::nullopt},
  };
  for (const auto& [text, path] : kCases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(URL::fromString(text)->filePath(),
              path ? std::optional(std::filesystem::path(*path)) : std::nullopt);
  }
}

struct Resolution {
  std::string_view reference;
  OptionalText result;
};

void expectResolutions(std::string_view base, const std::vector<Resolution>& cases) {
  for (const auto& [reference, result] : cases) {
    SCOPED_TRACE(std::string(base) + " + " + std::string(reference));
    const std::optional<URL> resolved = URL::fromString(base)->resolving(reference);
    ASSERT_EQ(resolved.has_value(), result.has_value());
    if (resolved) {
      EXPECT_EQ(resolved->absoluteString(), *result);
    }
  }
}

TEST(URLTest, ResolvesTheRFC3986Examples) {
  // clang-format off
  // A sample of sections 5.4.1 and 5.4.2, one for each step of the resolution (with the strict
  // parser's reading of "http:g").
  expectResolutions("http://a/b/c/d;p?q", {
      {"g:h", "g:h"},                      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},        {"#s", "http://a/b/c/d;p?q#s"},
      {"../../../../g", "http://a/g"},     {"..g", "http://a/b/c/..g"},
      {"g;x=1/../y", "http://a/b/c/y"},    {"g?y/../x", "http://a/b/c/g?y/../x"},
      {"http:g", "http:g"},
  });
  // clang-format on
}

TEST(URLTest, ResolvesAgainstOtherBasesAndRefusesBadReferences) {
  expectResolutions("http://h:9/api/", {{"v1/./items", "http://h:9/api/v1/items"}});
  expectResolutions("http://u@h", {{"x", "http://u@h/x"}});
  expectResolutions("http://h/a?q#f", {{"", "http://h/a?q"}});
  expectResolutions("mailto:a@b", {{"c", "mailto:c"}});
  expectResolutions("urn:a:b", {{"HTTP://X/../y/./z", "HTTP://X/y/z"}});
  // Dot-segment removal would leave "//x", which reads back as an authority.
  expectResolutions("foo:", {{"/.//x", std::nullopt}});
  // A reference is held to the same grammar as a URL.
  expectResolutions("http://a/", {{"a b", std::nullopt}, {"1a:b", std::nullopt}});
}

}  // namespace
}  // namespace kestro
