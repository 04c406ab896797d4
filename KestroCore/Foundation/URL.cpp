#include "KestroCore/Foundation/URL.h"

#include <array>
#include <cstdint>

namespace kestro {

namespace {

// Character classes of RFC 3986's grammar, one bit each, so that scanning a component is a
// table lookup per byte. Bytes >= 0x80 belong to no class: they must arrive percent-escaped.
enum : std::uint8_t {
  kSchemeChar = 1 << 0,     // ALPHA / DIGIT / "+" / "-" / "."
  kRegNameChar = 1 << 1,    // unreserved / sub-delims
  kUserInfoChar = 1 << 2,   // unreserved / sub-delims / ":"  (also the tail of IPvFuture)
  kSegmentNcChar = 1 << 3,  // pchar without ":", for the first segment of a relative path
  kPathChar = 1 << 4,       // pchar / "/"
  kQueryChar = 1 << 5,      // pchar / "/" / "?"  (fragments share it)
  kHexDigit = 1 << 6,
  kUnreservedChar = 1 << 7,  // what a file URL leaves unescaped (with "/")
};

constexpr std::array<std::uint8_t, 256> makeCharClasses() {
  std::array<std::uint8_t, 256> table{};
  auto add = [&table](std::string_view chars, std::uint8_t classes) {
    for (char c : chars) table[static_cast<unsigned char>(c)] |= classes;
  };
  constexpr std::string_view kAlpha = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  constexpr std::string_view kDigits = "0123456789";
  constexpr std::uint8_t kPchar = kSegmentNcChar | kPathChar | kQueryChar;
  constexpr std::uint8_t kUnreserved = kRegNameChar | kUserInfoChar | kPchar | kUnreservedChar;
  add(kAlpha, kUnreserved | kSchemeChar);
  add(kDigits, kUnreserved | kSchemeChar | kHexDigit);
  add("ABCDEFabcdef", kHexDigit);
  add("-.", kUnreserved | kSchemeChar);
  add("_~", kUnreserved);
  add("+", kSchemeChar);
  add("!$&'()*+,;=", kRegNameChar | kUserInfoChar | kPchar);
  add(":", kUserInfoChar | kPathChar | kQueryChar);
  add("@", kPchar);
  add("/", kPathChar | kQueryChar);
  add("?", kQueryChar);
  return table;
}

constexpr std::array<std::uint8_t, 256> kCharClasses = makeCharClasses();

constexpr bool hasClass(char c, std::uint8_t classes) {
  return (kCharClasses[static_cast<unsigned char>(c)] & classes) != 0;
}

constexpr bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  return (c | 0x20) - 'a' + 10;  // Only called on characters already checked to be hex digits.
}

constexpr std::size_t kNoMatch = std::string_view::npos;

// The end of the run of `classes` characters and percent-escapes starting at `i`, or kNoMatch
// when a "%" in the run is not followed by two hex digits. A lone "%" is never valid anywhere,
// so callers treat kNoMatch as a refusal of the whole text.
std::size_t scanRun(std::string_view text, std::size_t i, std::uint8_t classes) {
  const std::size_t n = text.size();
  while (i < n) {
    const char c = text[i];
    if (hasClass(c, classes)) {
      ++i;
    } else if (c == '%') {
      if (i + 2 >= n || !hasClass(text[i + 1], kHexDigit) || !hasClass(text[i + 2], kHexDigit)) {
        return kNoMatch;
      }
      i += 3;
    } else {
      break;
    }
  }
  return i;
}

std::string percentDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Every "%" in a parsed URL is followed by two hex digits, so no bounds check is needed.
    if (text[i] == '%') {
      decoded.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  return decoded;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + ('a' - 'A'));
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + ('a' - 'A'));
    if (x != y) return false;
  }
  return true;
}

// dec-octet "." dec-octet "." dec-octet "." dec-octet, where a dec-octet has no leading zero.
bool isIPv4Address(std::string_view text) {
  int octets = 0;
  std::size_t i = 0;
  while (true) {
    const std::size_t begin = i;
    int value = 0;
    while (i < text.size() && isDigit(text[i]) && i - begin < 3) {
      value = value * 10 + (text[i++] - '0');
    }
    const std::size_t digits = i - begin;
    if (digits == 0 || value > 255 || (digits > 1 && text[begin] == '0')) return false;
    if (++octets == 4) return i == text.size();
    if (i >= text.size() || text[i] != '.') return false;
    ++i;
  }
}

// Counts the 16-bit pieces of a ":"-separated run of h16, where the last piece may be an IPv4
// address worth two. Returns -1 when the run is malformed. An empty run has no pieces.
int countIPv6Pieces(std::string_view text, bool allowIPv4Tail) {
  if (text.empty()) return 0;
  int pieces = 0;
  while (true) {
    const std::size_t colon = text.find(':');
    const std::string_view piece = text.substr(0, colon);
    if (colon == kNoMatch && allowIPv4Tail && piece.find('.') != kNoMatch) {
      return isIPv4Address(piece) ? pieces + 2 : -1;
    }
    if (piece.empty() || piece.size() > 4) return -1;
    for (char c : piece) {
      if (!hasClass(c, kHexDigit)) return -1;
    }
    ++pieces;
    if (colon == kNoMatch) return pieces;
    text.remove_prefix(colon + 1);
  }
}

// RFC 3986's IPv6address: eight 16-bit pieces, or fewer with one "::" standing for at least one
// zero piece. The ABNF spells out every placement of "::"; counting pieces accepts the same set.
bool isIPv6Address(std::string_view text) {
  const std::size_t gap = text.find("::");
  if (gap == kNoMatch) return countIPv6Pieces(text, true) == 8;
  if (text.find("::", gap + 1) != kNoMatch) return false;
  const int before = countIPv6Pieces(text.substr(0, gap), false);
  const int after = countIPv6Pieces(text.substr(gap + 2), true);
  return before >= 0 && after >= 0 && before + after <= 7;
}

// "v" 1*HEXDIG "." 1*( unreserved / sub-delims / ":" )
bool isIPvFuture(std::string_view text) {
  if (text.empty() || (text[0] != 'v' && text[0] != 'V')) return false;
  std::size_t i = 1;
  while (i < text.size() && hasClass(text[i], kHexDigit)) ++i;
  if (i == 1 || i >= text.size() || text[i] != '.') return false;
  ++i;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (!hasClass(text[i], kUserInfoChar)) return false;
  }
  return true;
}

// RFC 3986 section 5.2.4. Works on views of the input because every rewrite the algorithm makes
// to the input buffer ("/./" -> "/", "/." -> "/", ...) keeps a prefix or a suffix of it.
std::string removeDotSegments(std::string_view input) {
  std::string output;
  output.reserve(input.size());
  auto dropLastOutputSegment = [&output] {
    const std::size_t slash = output.rfind('/');
    output.erase(slash == std::string::npos ? 0 : slash);
  };
  while (!input.empty()) {
    if (input.starts_with("../")) {
      input.remove_prefix(3);
    } else if (input.starts_with("./")) {
      input.remove_prefix(2);
    } else if (input.starts_with("/./")) {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = input.substr(0, 1);
    } else if (input.starts_with("/../")) {
      input.remove_prefix(3);
      dropLastOutputSegment();
    } else if (input == "/..") {
      input = input.substr(0, 1);
      dropLastOutputSegment();
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      const std::size_t end = input.find('/', 1);
      const std::size_t length = end == kNoMatch ? input.size() : end;
      output.append(input.substr(0, length));
      input.remove_prefix(length);
    }
  }
  return output;
}

}  // namespace

// Named by URL.h as a friend, so it lives in kestro rather than in the anonymous namespace.
struct URLParser {
  // Fills the spans of `url` from `text` by the `URI` production, or by `URI-reference` when
  // `allowRelative`. Leaves `url.text_` alone so a failed parse costs no allocation.
  static bool parse(std::string_view text, bool allowRelative, URL& url) {
    const std::size_t n = text.size();
    std::size_t i = 0;

    std::size_t schemeEnd = 0;
    if (n > 0 && isAlpha(text[0])) {
      schemeEnd = 1;
      while (schemeEnd < n && hasClass(text[schemeEnd], kSchemeChar)) ++schemeEnd;
    }
    if (schemeEnd > 0 && schemeEnd < n && text[schemeEnd] == ':') {
      url.scheme_ = {0, schemeEnd, true};
      i = schemeEnd + 1;
    } else if (!allowRelative) {
      return false;
    }
    // Text that starts like "scheme:" can only be a URI: a relative reference would have to be a
    // path-noscheme, whose first segment cannot hold a colon.
    bool firstSegmentMayHoldColon = url.scheme_.present;

    if (n - i >= 2 && text[i] == '/' && text[i + 1] == '/') {
      i = parseAuthority(text, i + 2, url);
      if (i == kNoMatch) return false;
      if (i < n && text[i] != '/' && text[i] != '?' && text[i] != '#') return false;
      firstSegmentMayHoldColon = true;
    }

    const std::size_t pathBegin = i;
    if (!firstSegmentMayHoldColon) {
      i = scanRun(text, i, kSegmentNcChar);
      if (i == kNoMatch || (i < n && text[i] == ':')) return false;
    }
    i = scanRun(text, i, kPathChar);
    if (i == kNoMatch) return false;
    url.path_ = {pathBegin, i - pathBegin, true};

    if (i < n && text[i] == '?') {
      const std::size_t begin = ++i;
      i = scanRun(text, i, kQueryChar);
      if (i == kNoMatch) return false;
      url.query_ = {begin, i - begin, true};
    }
    if (i < n && text[i] == '#') {
      const std::size_t begin = ++i;
      i = scanRun(text, i, kQueryChar);
      if (i == kNoMatch) return false;
      url.fragment_ = {begin, i - begin, true};
    }
    return i == n;
  }

  // Parses `[ userinfo "@" ] host [ ":" port ]` from `i`, returning where it stops, or kNoMatch.
  // The caller checks that what follows can end an authority.
  static std::size_t parseAuthority(std::string_view text, std::size_t i, URL& url) {
    const std::size_t n = text.size();
    std::size_t hostBegin = i;
    // userinfo's characters are a superset of reg-name's and stop at "@", so one scan finds the
    // userinfo when there is one, and otherwise just re-reads the host below.
    const std::size_t userInfoEnd = scanRun(text, i, kUserInfoChar);
    if (userInfoEnd == kNoMatch) return kNoMatch;
    if (userInfoEnd < n && text[userInfoEnd] == '@') hostBegin = userInfoEnd + 1;

    std::size_t hostEnd;
    if (hostBegin < n && text[hostBegin] == '[') {
      const std::size_t close = text.find(']', hostBegin);
      if (close == kNoMatch) return kNoMatch;
      const std::string_view literal = text.substr(hostBegin + 1, close - hostBegin - 1);
      if (!isIPv6Address(literal) && !isIPvFuture(literal)) return kNoMatch;
      url.host_ = {hostBegin + 1, literal.size(), true};
      hostEnd = close + 1;
    } else {
      hostEnd = scanRun(text, hostBegin, kRegNameChar);
      if (hostEnd == kNoMatch) return kNoMatch;
      url.host_ = {hostBegin, hostEnd - hostBegin, true};
    }

    if (hostEnd >= n || text[hostEnd] != ':') return hostEnd;
    const std::size_t portBegin = hostEnd + 1;
    std::size_t portEnd = portBegin;
    long value = 0;
    while (portEnd < n && isDigit(text[portEnd])) {
      value = value * 10 + (text[portEnd++] - '0');
      if (value > kMaximumPort) return kNoMatch;
    }
    url.port_ = {portBegin, portEnd - portBegin, true};
    return portEnd;
  }

  static std::optional<URL> make(std::string_view text, bool allowRelative) {
    URL url;
    if (!parse(text, allowRelative, url)) return std::nullopt;
    url.text_.assign(text);
    return url;
  }

  static std::string_view view(const URL& url, URL::Span span) {
    return std::string_view(url.text_).substr(span.begin, span.length);
  }

  // The authority with its userinfo and port: everything between "//" and the path.
  static std::string_view authority(const URL& url) {
    const std::size_t begin = (url.scheme_.present ? url.scheme_.length + 1 : 0) + 2;
    return std::string_view(url.text_).substr(begin, url.path_.begin - begin);
  }

  // RFC 3986 sections 5.2.2 (strict), 5.2.3 and 5.3.
  static std::optional<URL> resolve(const URL& base, std::string_view referenceText) {
    const std::optional<URL> parsed = make(referenceText, true);
    if (!parsed) return std::nullopt;
    const URL& reference = *parsed;
    const std::string_view referencePath = view(reference, reference.path_);

    std::string_view scheme = view(base, base.scheme_);
    std::optional<std::string_view> authority;
    std::string path;
    std::optional<std::string_view> query;
    if (reference.scheme_.present) {
      scheme = view(reference, reference.scheme_);
      if (reference.host_.present) authority = URLParser::authority(reference);
      path = removeDotSegments(referencePath);
      if (reference.query_.present) query = view(reference, reference.query_);
    } else if (reference.host_.present) {
      authority = URLParser::authority(reference);
      path = removeDotSegments(referencePath);
      if (reference.query_.present) query = view(reference, reference.query_);
    } else {
      if (base.host_.present) authority = URLParser::authority(base);
      if (referencePath.empty()) {
        path = view(base, base.path_);
        if (reference.query_.present) {
          query = view(reference, reference.query_);
        } else if (base.query_.present) {
          query = view(base, base.query_);
        }
      } else {
        if (referencePath.front() == '/') {
          path = removeDotSegments(referencePath);
        } else {
          path = removeDotSegments(merge(base, referencePath));
        }
        if (reference.query_.present) query = view(reference, reference.query_);
      }
    }

    // Without an authority, a path that dot-segment removal left starting with "//" would be
    // read back as an authority, silently naming a different resource.
    if (!authority && path.starts_with("//")) return std::nullopt;

    std::string text;
    text.reserve(scheme.size() + path.size() + referenceText.size() + base.text_.size() + 4);
    text.append(scheme).push_back(':');
    if (authority) text.append("//").append(*authority);
    text.append(path);
    if (query) text.append("?").append(*query);
    if (reference.fragment_.present) text.append("#").append(view(reference, reference.fragment_));
    return make(text, false);
  }

  // RFC 3986 section 5.2.3.
  static std::string merge(const URL& base, std::string_view referencePath) {
    const std::string_view basePath = view(base, base.path_);
    std::string merged;
    if (base.host_.present && basePath.empty()) {
      merged.push_back('/');
    } else {
      const std::size_t slash = basePath.rfind('/');
      if (slash != kNoMatch) merged.append(basePath.substr(0, slash + 1));
    }
    merged.append(referencePath);
    return merged;
  }

  static constexpr long kMaximumPort = 65535;
};

std::optional<URL> URL::fromString(std::string_view text) { return URLParser::make(text, false); }

URL URL::fileURL(const std::filesystem::path& path) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  const std::string bytes = std::filesystem::absolute(path).string();
  std::string text = "file://";
  text.reserve(text.size() + bytes.size() * 3);
  for (char c : bytes) {
    if (c == '/' || hasClass(c, kUnreservedChar)) {
      text.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      text.push_back('%');
      text.push_back(kHexDigits[byte >> 4]);
      text.push_back(kHexDigits[byte & 0xF]);
    }
  }
  // The escaping leaves only path characters, so this cannot fail; parsing fills the spans.
  return *URLParser::make(text, false);
}

std::string_view URL::scheme() const noexcept { return URLParser::view(*this, scheme_); }

std::optional<std::string_view> URL::host() const noexcept {
  if (!host_.present) return std::nullopt;
  return URLParser::view(*this, host_);
}

std::optional<int> URL::port() const noexcept {
  if (!port_.present || port_.length == 0) return std::nullopt;
  int value = 0;
  // Parsing bounded the value to 0...65535, so this cannot overflow.
  for (char c : URLParser::view(*this, port_)) value = value * 10 + (c - '0');
  return value;
}

std::string_view URL::percentEncodedPath() const noexcept { return URLParser::view(*this, path_); }

std::string URL::path() const { return percentDecode(percentEncodedPath()); }

std::optional<std::string_view> URL::query() const noexcept {
  if (!query_.present) return std::nullopt;
  return URLParser::view(*this, query_);
}

std::optional<std::string_view> URL::fragment() const noexcept {
  if (!fragment_.present) return std::nullopt;
  return URLParser::view(*this, fragment_);
}

std::string URL::lastPathComponent() const {
  std::string_view path = percentEncodedPath();
  if (path.empty()) return {};
  // Segments are split before decoding: an escaped "%2F" is part of a name, not a separator.
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  if (path.empty()) return "/";
  const std::size_t slash = path.rfind('/');
  return percentDecode(slash == kNoMatch ? path : path.substr(slash + 1));
}

std::string URL::pathExtension() const {
  const std::string component = lastPathComponent();
  const std::size_t dot = component.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  return component.substr(dot + 1);
}

bool URL::isFileURL() const noexcept { return equalsIgnoringASCIICase(scheme(), "file"); }

std::optional<std::filesystem::path> URL::filePath() const {
  if (!isFileURL()) return std::nullopt;
  if (host_.present && host_.length > 0 && !equalsIgnoringASCIICase(*host(), "localhost")) {
    return std::nullopt;
  }
  const std::string_view encoded = percentEncodedPath();
  if (!encoded.starts_with('/')) return std::nullopt;
  std::string decoded = percentDecode(encoded);
  // A NUL would silently cut the path short in every system call that receives it.
  if (decoded.find('\0') != std::string::npos) return std::nullopt;
  return std::filesystem::path(std::move(decoded));
}

std::optional<URL> URL::resolving(std::string_view reference) const {
  return URLParser::resolve(*this, reference);
}

}  // namespace kestro
