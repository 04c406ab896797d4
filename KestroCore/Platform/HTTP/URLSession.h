#pragma once

// The HTTP session that the API client sends its requests through: the stand-in for the
// platform's URL session. `URLSession` is the interface, so that tests can script what a real
// server cannot do; `makeURLSession()` gives the real one, on libcurl.

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "KestroCore/Foundation/URL.h"

namespace kestro {

// Request or response headers. Names compare without regard to letter case: setting a header
// replaces any earlier one whose name differs only in case, and keeps the first one's position
// (with the latest spelling of the name).
class HTTPHeaders {
 public:
  using Entry = std::pair<std::string, std::string>;

  void set(std::string name, std::string value);
  void remove(std::string_view name);
  // The value of the header with that name, if any. The view points into this object: it stays
  // valid until the headers are next changed (set, remove, assignment) or destroyed.
  std::optional<std::string_view> value(std::string_view name) const;
  const std::vector<Entry>& entries() const noexcept { return entries_; }
  bool operator==(const HTTPHeaders&) const = default;

 private:
  std::vector<Entry> entries_;
};

// One request. The body is absent, held in memory, or streamed from a file as it is sent (the
// file's length is the content length; it is never read into memory whole).
//
// What the session does with it:
// - Header names must be HTTP tokens (not empty, no ":", no white space) and values must hold
//   no CR, LF, NUL or other control character but tab; anything else is `invalidRequest`. An
//   empty value is sent as an empty header. The session frames the body itself: a caller's
//   "Content-Length" or "Transfer-Encoding" is ignored, and "Expect: 100-continue" is never sent
//   unless the caller sets "Expect". Apart from "Host" and the framing nothing is added: a
//   request without "Accept" or "Content-Type" goes without one.
// - POST, PUT and PATCH without a body send an empty one ("Content-Length: 0"); GET, DELETE and
//   other methods without a body send none. HEAD with a body is `invalidRequest`.
// - Redirects are followed to http and https only (a redirect elsewhere is `invalidRequest`,
//   and nothing is sent to its target). 307 and 308 repeat the method and the body (a file is
//   read again from its start); 301 and 302 turn POST into GET without a body and repeat other
//   methods with their body; 303 turns GET, POST and PUT into GET without a body, but a 303
//   answering any other method (DELETE, PATCH, ...) is not followed and is returned as the
//   response, since repeating such a method at the new location is never what was meant.
// - "Authorization" goes along on a redirect only while scheme, host and port stay the same,
//   and a request that has one is never redirected from https to plain http (`invalidRequest`,
//   nothing sent there): the rest of it, a body above all, may be as secret.
struct HTTPRequest {
  URL url;
  std::string method = "GET";
  HTTPHeaders headers{};
  std::variant<std::monostate, std::string, std::filesystem::path> body{};
  // The longest the request may wait for further data from the server; not a limit on the
  // whole exchange (see URLSessionConfiguration::exchangeTimeout for that).
  std::chrono::milliseconds timeoutInterval = std::chrono::seconds(60);

  // Told, on the thread running the exchange, how many bytes of the request body have been
  // sent out of how many: often while bytes move, and every few tens of milliseconds while
  // nothing moves, so it doubles as the way to cancel an exchange from another thread (return
  // false: the exchange ends at once as a `transport` failure, "The request was cancelled").
  // Keep it cheap. What it throws ends the exchange and reaches the caller. May be empty.
  using ProgressHandler = std::function<bool(std::uint64_t bytesSent, std::uint64_t bytesToSend)>;
  ProgressHandler onProgress{};

  // For a body delivered line by line: the longest line accepted, replacing the session's
  // `maximumLineBytes` for this request (a reader that knows its lines may need more, or less).
  std::optional<std::size_t> maximumLineBytes{};
};

// One response. `statusCode` is absent when the peer's answer was not an HTTP response. The
// libcurl session never returns such a response: a peer that answers with something other
// than HTTP (HTTP/0.9 included) ends the exchange as a `transport` failure, because nothing
// usable arrived and a retry may well meet the real server.
struct HTTPResponse {
  std::optional<int> statusCode{};
  // Those of the final response after any redirects. Repeated names are joined into one value
  // with ", ".
  HTTPHeaders headers{};
  std::string body{};  // empty when the body was delivered line by line
};

// A failure of the session itself. `invalidRequest`: the request could not be formed and
// nothing was sent (a scheme other than http or https, a header with CR, LF or NUL, a URL the
// transport refuses: see HTTPRequest), or a redirect pointed at a scheme other than http or https
// and was not followed. `transport`: the exchange failed (no connection, a timeout, a body or a
// line over the size limit, response headers over the size limit (described as "The server
// answered, but ..."), a file that cannot be read or that changed while being sent, an answer
// that is not HTTP, a cancellation); `what()` describes it for people.
class URLSessionError : public std::exception {
 public:
  enum class Kind { invalidRequest, transport };

  URLSessionError(Kind kind, std::string description)
      : kind_(kind), description_(std::move(description)) {}

  Kind kind() const noexcept { return kind_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  Kind kind_;
  std::string description_;
};

// Performs requests. Implementations are safe to use from many threads at once.
class URLSession {
 public:
  virtual ~URLSession() = default;

  // Sends the request and waits for the whole response. Throws URLSessionError.
  virtual HTTPResponse send(const HTTPRequest& request) = 0;

  // Sends the request and hands the response body to `onLine` one line at a time as the lines
  // arrive (without their "\n" or "\r\n"; a last line without a newline is delivered too), after
  // `onResponse` has seen the status and headers. Either callback may return false to stop the
  // exchange early, which is not an error. Returns the response without a body. Throws
  // URLSessionError, or what a callback threw (the exchange ends there). The callbacks run on
  // the calling thread.
  virtual HTTPResponse sendStreamingLines(
      const HTTPRequest& request, const std::function<bool(const HTTPResponse&)>& onResponse,
      const std::function<bool(std::string_view line)>& onLine) = 0;
};

struct URLSessionConfiguration {
  // Waiting longer than this for further data ends the exchange as a transport failure; a
  // request's own `timeoutInterval` overrides it when shorter.
  std::chrono::milliseconds idleTimeout = std::chrono::seconds(60);
  std::chrono::milliseconds connectTimeout = std::chrono::seconds(30);
  // The longest a whole exchange may take, connecting included, when its response is delivered
  // whole and its request body does not come from a file: a server that trickles a byte now and
  // then is never idle long enough for the limit above. Past it, the exchange ends as a
  // transport failure. Uploads from a file and bodies delivered line by line (event streams) may
  // take as long as they keep moving.
  std::chrono::milliseconds exchangeTimeout = std::chrono::minutes(2);
  // A response body (when delivered whole) longer than this ends the exchange as a transport
  // failure instead of filling memory.
  std::size_t maximumBodyBytes = 64u * 1024 * 1024;
  // Redirects followed for one request (http and https only).
  int maximumRedirects = 10;
  // A line longer than this (without its terminator) in a body delivered line by line ends the
  // exchange as a transport failure. A request may set its own limit instead.
  std::size_t maximumLineBytes = 8u * 1024 * 1024;
};

// The real session on libcurl: keep-alive connections reused per thread, HTTP/2 where offered,
// TLS verification always on, redirects followed only to http and https, the bearer token never
// sent to another host on a redirect. One session serves any number of threads: each exchange
// borrows an idle connection handle (with its open connections) or makes one, and gives it back
// afterwards, so a thread that sends one request after another keeps using one connection.
// DNS answers and TLS sessions are shared between the handles; connections are not.
std::shared_ptr<URLSession> makeURLSession(URLSessionConfiguration configuration = {});

}  // namespace kestro
