#pragma once

// How a share failed, in the kinds a host tells apart (kestro-share picks its exit status from
// them): the share target's own refusals carry their kind, and every other error a request ends
// with falls into one by its type.

#include <exception>
#include <string>
#include <utility>

namespace kestro {

enum class ShareFailure {
  nothingToCapture,  // nothing shared can be captured
                     // (MacShareRequestHandler::kNoSupportedShareItem)
  signInRequired,    // nobody is signed in (MacShareRequestHandler::kSignInRequired)
  unusableRequest,   // the host asked for what cannot be shared: a missing, unreadable or
                     // irregular file, standard input twice, an unknown type
  storage,           // the capture could not be kept: its files, the outbox or the settings
  failed,            // anything else
};

// A failure of a share that knows its kind. Its message is for the user, and is what().
class ShareError : public std::exception {
 public:
  ShareError(ShareFailure kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  ShareFailure kind() const noexcept { return kind_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  ShareFailure kind_;
  std::string message_;
};

// The kind of any error a share request ends with: a ShareError's own; storage for the
// outbox's, the settings suite's, the file system's and other system errors; failed otherwise.
ShareFailure shareFailureOf(const std::exception& error) noexcept;

}  // namespace kestro
