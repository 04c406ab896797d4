#pragma once

// What the session accepts in a request and in a redirect, decided before anything is sent.
// Internal to the HTTP session; pure functions, testable without sockets.

#include <optional>
#include <string_view>

#include "KestroCore/Platform/HTTP/URLSession.h"

namespace kestro::http {

bool isHTTPScheme(std::string_view scheme) noexcept;

// RFC 9110 `token`: what a method and a field name may be made of.
bool isToken(std::string_view text) noexcept;

// A field value may hold no control character but tab: a CR or LF could end the header early
// and start another one of the peer's choosing.
bool isFieldValue(std::string_view text) noexcept;

// Headers that describe the body's framing, which the session derives from the body itself.
bool isFramingHeader(std::string_view name) noexcept;

// Throws URLSessionError(invalidRequest) when the request cannot be sent as it stands: a scheme
// other than http or https, no host, a method or header name that is not a token, a header
// value with a control character, or a HEAD request with a body.
void checkRequest(const HTTPRequest& request);

// The scheme a Location header names, if it names one; a relative reference names none and
// keeps the current scheme.
std::optional<std::string_view> locationScheme(std::string_view location) noexcept;

// The scheme a request moves to when redirected from `currentScheme` to `location`.
std::string_view redirectedScheme(std::string_view currentScheme,
                                  std::string_view location) noexcept;

// Whether a redirect from `currentScheme` to `location` may be followed by a request that
// carries credentials: never from https down to plain http, where anyone on the way could read
// them (libcurl would only drop the Authorization header and send the rest in clear).
bool mayFollowWithCredentials(std::string_view currentScheme, std::string_view location) noexcept;

// Whether a request with this method and body goes out with a body: POST, PUT and PATCH always
// do (an empty one when none is given).
bool sendsBody(const HTTPRequest& request) noexcept;

}  // namespace kestro::http
