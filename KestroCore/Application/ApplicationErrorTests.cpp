#include "KestroCore/Application/ApplicationError.h"

#include <gtest/gtest.h>

#include "KestroCore/Credentials/SecureTokenError.h"
#include "KestroCore/Models/KestroAPIError.h"
#include "KestroCore/Platform/Keychain/Keychain.h"

namespace kestro {
namespace {

// A server's refusal with its trace, a refused token and a server out of reach reach the user in
// kestro's own tests (TheServersOwnWordsAndTraceReachTheUser); these are the rest.
TEST(ApplicationErrorTest, EachFailureBecomesOneLineAndItsStatus) {
  const auto reportOf = [](auto error) { return reportError(std::make_exception_ptr(error)); };
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
  EXPECT_EQ(reportOf(SecureTokenError::unexpectedStatus(kKeychainStatusNotAvailable)).status,
            ExitStatus::failure);
  EXPECT_EQ(reportOf(ApplicationError(ExitStatus::notSignedIn, "not signed in\nat all")),
            (ErrorReport{ExitStatus::notSignedIn, "not signed in at all"}));
  EXPECT_EQ(reportOf(42), (ErrorReport{ExitStatus::failure, "an unknown error occurred"}));
}

}  // namespace
}  // namespace kestro
