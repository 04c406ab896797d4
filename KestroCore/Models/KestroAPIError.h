#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <variant>

namespace kestro {

// The one error type of the server API client, and of the share target's own failures.
// The HTTP status code is kept in no case: whether a server failure is worth retrying depends
// only on what the server said. Values are plain and may cross threads.
class KestroAPIError : public std::exception {
 public:
  // The server answered with a well-formed error envelope; the values are copied from it.
  struct Server {
    std::string code;
    std::string message;
    bool retryable;
    std::string traceId;
  };
  // The exchange failed below the server's error protocol: no connection, a timeout, a
  // cancellation, a success body that did not decode. Holds a readable description.
  struct Transport {
    std::string description;
  };
  // A local failure described by a message; raised by the share target, never by the client.
  struct LocalFile {
    std::string message;
  };
  // The response was not HTTP, an error body was not an error envelope, or the request could
  // not be formed.
  struct InvalidResponse {};

  using Case = std::variant<Server, Transport, LocalFile, InvalidResponse>;

  static KestroAPIError server(std::string code, std::string message, bool retryable,
                               std::string traceId);
  static KestroAPIError transport(std::string description);
  static KestroAPIError localFile(std::string message);
  static KestroAPIError invalidResponse();

  const Case& value() const noexcept { return case_; }
  // The case's payload, or null when the error is of another case.
  template <class C>
  const C* as() const noexcept {
    return std::get_if<C>(&case_);
  }

  // The machine-readable code: the server's own, or "NETWORK_ERROR", "LOCAL_FILE_ERROR",
  // "INVALID_RESPONSE".
  const std::string& code() const noexcept;
  // Whether trying again may help: the server's flag, true for transport failures, false
  // otherwise.
  bool retryable() const noexcept;

  // The code followed by whatever the case carries, for logs and command lines.
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  explicit KestroAPIError(Case value);

  Case case_;
  std::string description_;
};

}  // namespace kestro
