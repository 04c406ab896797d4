#pragma once

#include <string>

#include "KestroCore/Foundation/VariantError.h"

namespace kestro {

// The cases of KestroAPIError; name them as KestroAPIError::Server and so on.
namespace apierror {
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
}  // namespace apierror

// The one error type of the server API client, and of the share target's own failures.
// The HTTP status code is kept in no case: whether a server failure is worth retrying depends
// only on what the server said. Values are plain and may cross threads.
// what() is the code followed by whatever the case carries, for logs and command lines.
class KestroAPIError : public VariantError<apierror::Server, apierror::Transport,
                                           apierror::LocalFile, apierror::InvalidResponse> {
 public:
  using Server = apierror::Server;
  using Transport = apierror::Transport;
  using LocalFile = apierror::LocalFile;
  using InvalidResponse = apierror::InvalidResponse;

  static KestroAPIError server(std::string code, std::string message, bool retryable,
                               std::string traceId);
  static KestroAPIError transport(std::string description);
  static KestroAPIError localFile(std::string message);
  static KestroAPIError invalidResponse();

  // The machine-readable code: the server's own, or "NETWORK_ERROR", "LOCAL_FILE_ERROR",
  // "INVALID_RESPONSE".
  const std::string& code() const noexcept;
  // Whether trying again may help: the server's flag, true for transport failures, false
  // otherwise.
  bool retryable() const noexcept;

 private:
  explicit KestroAPIError(Case value);
};

}  // namespace kestro
