#include "KestroCore/Platform/HTTP/internal/CurlErrors.h"

#include <system_error>
#include <utility>

namespace kestro::http {

URLSessionError invalidRequest(std::string description) {
  return URLSessionError(URLSessionError::Kind::invalidRequest, std::move(description));
}

URLSessionError transportFailure(std::string description) {
  return URLSessionError(URLSessionError::Kind::transport, std::move(description));
}

std::string systemMessage(int error) {
  return std::error_code(error, std::generic_category()).message();
}

std::string describeDuration(std::chrono::milliseconds duration) {
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
  return std::to_string(duration.count()) + " ms";
}

URLSessionError sessionError(CURLcode code, long osError, std::string_view detail) {
  std::string summary;
  auto kind = URLSessionError::Kind::transport;
  switch (code) {
    case CURLE_URL_MALFORMAT:
      kind = URLSessionError::Kind::invalidRequest;
      summary = "The URL is not valid";
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
      // Our own checks refuse other schemes before libcurl sees them, so what remains is a
      // peer that answered in something other than HTTP (libcurl calls that HTTP/0.9).
      summary = "The server's answer is not HTTP";
      break;
    case CURLE_WEIRD_SERVER_REPLY:
      summary = "The server's answer is not valid HTTP";
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
      summary = "A server with the specified hostname could not be found";
      break;
    case CURLE_COULDNT_RESOLVE_PROXY:
      summary = "The proxy could not be found";
      break;
    case CURLE_COULDNT_CONNECT:
      summary = "Could not connect to the server";
      break;
    case CURLE_OPERATION_TIMEDOUT:
      summary = "The request timed out";
      break;
    case CURLE_GOT_NOTHING:
      summary = "The server closed the connection without answering";
      break;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      summary = "The network connection was lost";
      break;
    case CURLE_TOO_MANY_REDIRECTS:
      summary = "Too many HTTP redirects";
      break;
    case CURLE_SEND_FAIL_REWIND:
      summary = "The request body could not be sent again after a redirect";
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
      summary = "The certificate of the server is not valid";
      break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      summary = "A secure connection to the server could not be made";
      break;
    case CURLE_OUT_OF_MEMORY:
      summary = "Out of memory";
      break;
    default:
      summary = "The request failed";
      break;
  }
  std::string description = summary;
  if (osError != 0) description += ": " + systemMessage(static_cast<int>(osError));
  description += " (";
  description += detail.empty() ? std::string_view(curl_easy_strerror(code)) : detail;
  description += ")";
  return URLSessionError(kind, std::move(description));
}

URLSessionError sessionError(CURLMcode code) {
  return transportFailure(std::string("The request failed (") + curl_multi_strerror(code) + ")");
}

}  // namespace kestro::http
