#include "KestroCore/Application/OutboxFlush.h"

#include <gtest/gtest.h>

#include "Platform/Keychain/InMemoryKeychain.h"
#include "Testing/ApplicationTestSupport.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro {
namespace {

using devserver::DevServer;

class OutboxFlushTest : public ::testing::Test {
 protected:
  OutboxFlushTest()
      : store_(std::make_shared<OutboxStore>(tree_.places().databaseURL())),
        session_(tree_.places(),
                 SecureTokenStore(std::string(kTokenService), std::make_shared<InMemoryKeychain>()),
                 makeURLSession()),
        account_(session_.signIn(Session::serverOrigin(server_.baseURL()), "ada@example.com")) {}

  OutboxRecord enqueue() {
    return store_->enqueue(account_.userId,
                           testsupport::outboxRecord(CaptureOutboxState::queued).capture, {});
  }

  testsupport::TemporaryTree tree_;
  DevServer server_;
  std::shared_ptr<OutboxStore> store_;
  Session session_;
  SignedInAccount account_;
};

TEST_F(OutboxFlushTest, AFlushSaysWhatItSentAndWhetherTheSignInStillHolds) {
  const OutboxRecord record = enqueue();
  const FlushRun run = flushOutbox(store_, session_, account_);
  EXPECT_EQ(run.before.size(), 1u);
  ASSERT_EQ(run.after.size(), 1u);
  EXPECT_EQ(run.after[0].state, CaptureOutboxState::complete);
  EXPECT_EQ(run.summary.sent, 1u);
  EXPECT_FALSE(run.summary.serverUnreachable);
  EXPECT_FALSE(run.signInRefused);

  enqueue();
  SignedInAccount stale = account_;
  stale.token = "kdev-revoked";
  const FlushRun refused = flushOutbox(store_, session_, stale);
  EXPECT_TRUE(refused.signInRefused);
  EXPECT_EQ(refused.summary.waiting, 1u);
}

TEST_F(OutboxFlushTest, TheServerAnswersUntilItIsGone) {
  const auto probe = makeProbeSession();
  const URL server = Session::serverOrigin(server_.baseURL());
  EXPECT_TRUE(serverAnswers(*probe, server));
  server_.stop();
  EXPECT_FALSE(serverAnswers(*probe, server));
  enqueue();
  const FlushRun offline = flushOutbox(store_, session_, account_);
  EXPECT_TRUE(offline.summary.serverUnreachable);
  EXPECT_FALSE(offline.signInRefused);
  EXPECT_EQ(offline.after[0].lastErrorCode, "NETWORK_ERROR");
  // The application's backoff: about two seconds after the first failure.
  EXPECT_EQ(applicationRetryPolicy(), RetryPolicy(2, 600));
}

}  // namespace
}  // namespace kestro
