#pragma once

// How the application's operations fail in words for the user, and how a failure becomes one line
// on standard error and an exit status.

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "KestroCore/Foundation/ExitStatus.h"

namespace kestro {

// The exit statuses are those of both programs (Foundation/ExitStatus.h): the application uses
// ok, failure, usage, notSignedIn and serverUnreachable.

// A failure the application itself detects, with a message written for the user and the exit
// status it calls for. A plain value; may cross threads.
class ApplicationError : public std::runtime_error {
 public:
  ApplicationError(ExitStatus status, const std::string& message)
      : std::runtime_error(message), status_(status) {}

  ExitStatus status() const noexcept { return status_; }

 private:
  ExitStatus status_;
};

// The failure of an operation that needs a signed-in user when there is none: "not signed in",
// then `detail` (" (no server address is stored)"), then how to sign in; status notSignedIn.
ApplicationError notSignedInError(std::string_view detail = {});

// One failure as the program reports it: a single line (no trailing newline) and an exit status.
struct ErrorReport {
  ExitStatus status;
  std::string message;

  bool operator==(const ErrorReport&) const = default;
};

// Turns any exception the library's operations throw into its report:
// - ApplicationError: its own status and message;
// - KestroAPIError: `server` as "the server refused: <message> (<code>, trace <trace id>)",
//   except UNAUTHORIZED, which is notSignedIn and asks for a new sign-in;
//   `transport` as serverUnreachable when the exchange failed on the way, or failure when an
//   answer came but could not be read or was refused (headers too large, say); `invalidResponse` as
//   failure;
// - SecureTokenError: failure, naming the keyring (never "not signed in": a keyring that cannot
//   be asked is not an empty one);
// - OutboxError, DecodingError, EncodingError, UserDefaultsError, filesystem and system errors:
//   failure, with their own description;
// - anything else: failure with what() or a generic line.
// Line breaks inside a message are replaced by spaces, so the report stays one line.
ErrorReport reportError(const std::exception_ptr& error);

// Whether a KestroAPIError (or anything else) means that the server could not be reached, as
// opposed to an answer we did not like.
bool isServerUnreachable(const std::exception& error) noexcept;

}  // namespace kestro
