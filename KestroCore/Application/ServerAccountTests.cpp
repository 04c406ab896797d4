#include "KestroCore/Application/ServerAccount.h"

#include <gtest/gtest.h>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"

namespace kestro {
namespace {

// What the signed-in user's calls do is the business of kestro's own tests, end to end.
TEST(ServerAccountTest, NobodySignedInIsRefusedBeforeAnythingIsAsked) {
  const testsupport::TemporaryTree tree;
  const Session session(
      tree.places(),
      SecureTokenStore(std::string(kTokenService), std::make_shared<InMemoryKeychain>()),
      makeURLSession());
  const auto refusal = testsupport::refusalOf([&] { const ServerAccount account(session); });
  EXPECT_EQ(refusal.status, ExitStatus::notSignedIn);
  EXPECT_EQ(refusal.message, "not signed in; run: kestro signin --server URL --email ADDRESS");
}

}  // namespace
}  // namespace kestro
