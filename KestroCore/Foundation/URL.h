#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestro {

// An absolute URL (RFC 3986), kept exactly as the text it was made from.
//
// A URL value is immutable and safe to share between threads. It never holds a relative
// reference: `fromString` refuses one, and `resolving` turns a reference into an absolute URL.
// Text that needs percent-escaping (a space, a non-ASCII byte, "<", a lone "%") is refused
// rather than repaired: the caller escapes what it means.
class URL {
 public:
  // Parses an absolute URL: a scheme, ":", and the rest, where the whole text must match
  // RFC 3986's generic syntax (`URI` production). Returns nothing for anything else.
  static std::optional<URL> fromString(std::string_view text);

  // The file URL of a path ("file:///tmp/a%20b.txt"). A relative path is made absolute against
  // the current directory first. Every byte that is not unreserved or "/" is percent-escaped, so
  // any byte sequence (including invalid UTF-8) round-trips through `filePath`. The path is not
  // normalized ("a/../b" keeps its ".."), and an empty path throws filesystem_error, as
  // std::filesystem::absolute does.
  static URL fileURL(const std::filesystem::path& path);

  // The text the URL was made from.
  const std::string& absoluteString() const noexcept { return text_; }

  // The scheme as written (not lower-cased).
  std::string_view scheme() const noexcept;
  // The host as written, without brackets around an IP literal; nothing when the URL has no
  // authority. An empty host ("file:///x") is an empty string.
  std::optional<std::string_view> host() const noexcept;
  // The port, when the authority names one.
  std::optional<int> port() const noexcept;
  // The path as written, percent-escapes kept ("/a%20b").
  std::string_view percentEncodedPath() const noexcept;
  // The path with percent-escapes decoded ("/a b").
  std::string path() const;
  // The query without its "?"; nothing when there is none ("?" alone gives an empty query).
  std::optional<std::string_view> query() const noexcept;
  // The fragment without its "#"; nothing when there is none.
  std::optional<std::string_view> fragment() const noexcept;

  // The last non-empty segment of the path, decoded ("/a/b.txt/" gives "b.txt"), "/" for the
  // root path, and an empty string for an empty path. Segments split before decoding, so an
  // escaped "/" stays part of the name ("/a%2Fb" gives "a/b").
  std::string lastPathComponent() const;
  // The extension of the last path component without its dot ("tar.gz" gives "gz"); empty when
  // there is none, or when the only dot starts the name (".profile").
  std::string pathExtension() const;

  // True when the scheme is "file", in any letter case.
  bool isFileURL() const noexcept;
  // The decoded path of a file URL; nothing for other URLs, when the file URL names a host
  // other than "" or "localhost", when its path is not absolute, or when it decodes to a NUL.
  std::optional<std::filesystem::path> filePath() const;

  // Resolves a URL reference against this URL by RFC 3986 section 5.2 (strict parser,
  // dot-segment removal). Returns nothing when the reference does not parse.
  std::optional<URL> resolving(std::string_view reference) const;

  bool operator==(const URL& other) const noexcept { return text_ == other.text_; }
  auto operator<=>(const URL& other) const noexcept { return text_ <=> other.text_; }

 private:
  struct Span {
    std::size_t begin = 0;
    std::size_t length = 0;
    bool present = false;
  };
  URL() = default;

  std::string text_;
  Span scheme_;
  Span host_;
  Span port_;
  Span path_;
  Span query_;
  Span fragment_;

  friend struct URLParser;
};

}  // namespace kestro

template <>
struct std::hash<kestro::URL> {
  std::size_t operator()(const kestro::URL& url) const noexcept {
    return std::hash<std::string>{}(url.absoluteString());
  }
};
