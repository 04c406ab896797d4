#include "KestroCore/Application/ApplicationError.h"

#include <gtest/gtest.h>

#include "KestroCore/Credentials/SecureTokenError.h"
#include "KestroCore/Models/KestroAPIError.h"
#include "KestroCore/Platform/Keychain/Keychain.h"

namespace kestro {
namespace {

TEST(ApplicationErrorTest, EachFailureBecomesOneLineAndItsStatus) {
  const auto reportOf = [](auto error) { return reportError(std::make_exception_ptr(error)); };
  EXPECT_EQ(reportOf(KestroAPIError::server("QUOTA_EXCEEDED", "Too many captures today", false,
                                            "trace-42")),
            (ErrorReport{ExitStatus::failure,
                         "the server refused: Too many captures today (QUOTA_EXCEEDED, trace "
                         "trace-42)"}));
  // A refused token: only signing in again helps, whatever the command.
  const ErrorReport refused = reportOf(
      KestroAPIError::server("UNAUTHORIZED", "A valid bearer token is required", false, "t-7"));
  EXPECT_EQ(refused.status, ExitStatus::notSignedIn);
  EXPECT_NE(refused.message.find("sign in again: kestro signin"), std::string::npos);
  EXPECT_NE(refused.message.find("trace t-7"), std::string::npos);
  EXPECT_EQ(reportOf(KestroAPIError::transport("Couldn't connect to server")),
            (ErrorReport{ExitStatus::serverUnreachable,
                         "cannot reach the server: Couldn't connect to server"}));
  // Neither a success that could not be read nor an answer refused for its size is an outage:
  // the server was reached, and the user is told so.
  EXPECT_EQ(
      reportOf(KestroAPIError::transport("the server's response could not be read: x")).status,
      ExitStatus::failure);
  const std::string tooLarge =
      "The server answered, but its response headers are larger than the limit of 262144 bytes";
  EXPECT_EQ(reportOf(KestroAPIError::transport(tooLarge)),
            (ErrorReport{ExitStatus::failure, tooLarge}));
  // A keyring that cannot be asked is a failure, never "not signed in".
  const ErrorReport keyring =
      reportOf(SecureTokenError::unexpectedStatus(kKeychainStatusNotAvailable));
  EXPECT_EQ(keyring.status, ExitStatus::failure);
  EXPECT_NE(keyring.message.find("Secret Service"), std::string::npos);
  EXPECT_EQ(reportOf(ApplicationError(ExitStatus::notSignedIn, "not signed in\nat all")),
            (ErrorReport{ExitStatus::notSignedIn, "not signed in at all"}));
  EXPECT_EQ(reportOf(42), (ErrorReport{ExitStatus::failure, "an unknown error occurred"}));
}

}  // namespace
}  // namespace kestro
