#include "KestroCore/Platform/HTTP/internal/RequestRules.h"

#include <algorithm>
#include <string>
#include <utility>

#include "KestroCore/Foundation/ASCII.h"

namespace kestro::http {

namespace {

[[noreturn]] void refuse(std::string description) {
  throw URLSessionError(URLSessionError::Kind::invalidRequest, std::move(description));
}

bool isASCIILetter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isASCIIDigit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

bool isHTTPScheme(std::string_view scheme) noexcept {
  return equalsIgnoringASCIICase(scheme, "http") || equalsIgnoringASCIICase(scheme, "https");
}

bool isToken(std::string_view text) noexcept {
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
    return isASCIIDigit(c) || isASCIILetter(c) || kSymbols.find(c) != std::string_view::npos;
  });
}

bool isFieldValue(std::string_view text) noexcept {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7f;
  });
}

bool isFramingHeader(std::string_view name) noexcept {
  return equalsIgnoringASCIICase(name, "Content-Length") ||
         equalsIgnoringASCIICase(name, "Transfer-Encoding");
}

void checkRequest(const HTTPRequest& request) {
  const URL& url = request.url;
  if (!isHTTPScheme(url.scheme())) {
    refuse("Only http and https URLs can be requested, not \"" + std::string(url.scheme()) + ":\"");
  }
  if (!url.host() || url.host()->empty()) {
    refuse("The URL names no host: " + url.absoluteString());
  }
  if (!isToken(request.method)) {
    refuse("Not an HTTP method: \"" + request.method + "\"");
  }
  if (request.method == "HEAD" && request.body.index() != 0) {
    refuse("A HEAD request cannot carry a body");
  }
  for (const auto& [name, value] : request.headers.entries()) {
    if (!isToken(name)) refuse("Not a valid header name: \"" + name + "\"");
    if (!isFieldValue(value)) {
      refuse("The value of header \"" + name + "\" holds a control character");
    }
  }
}

std::optional<std::string_view> locationScheme(std::string_view location) noexcept {
  const auto colon = location.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const auto scheme = location.substr(0, colon);
  const auto isSchemeChar = [](char c) {
    return isASCIILetter(c) || isASCIIDigit(c) || c == '+' || c == '-' || c == '.';
  };
  if (!isASCIILetter(scheme[0]) || !std::all_of(scheme.begin(), scheme.end(), isSchemeChar)) {
    return std::nullopt;
  }
  return scheme;
}

std::string_view redirectedScheme(std::string_view currentScheme,
                                  std::string_view location) noexcept {
  return locationScheme(location).value_or(currentScheme);
}

bool mayFollowWithCredentials(std::string_view currentScheme, std::string_view location) noexcept {
  return !equalsIgnoringASCIICase(currentScheme, "https") ||
         !equalsIgnoringASCIICase(redirectedScheme(currentScheme, location), "http");
}

bool sendsBody(const HTTPRequest& request) noexcept {
  return request.body.index() != 0 || request.method == "POST" || request.method == "PUT" ||
         request.method == "PATCH";
}

}  // namespace kestro::http
