#include "KestroCore/Application/ServerAccount.h"

#include <gtest/gtest.h>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro {
namespace {

using devserver::DevServer;

// The signed-in user's side of kestro-devserver, over HTTP on 127.0.0.1.
class ServerAccountTest : public ::testing::Test {
 protected:
  ServerAccountTest()
      : session_(tree_.places(),
                 SecureTokenStore(std::string(kTokenService), std::make_shared<InMemoryKeychain>()),
                 makeURLSession()) {}

  // A capture of `title` that asks for a task, sent as the application would.
  void captureTask(const ServerAccount& account, const std::string& title) const {
    CaptureEnvelope envelope = testsupport::outboxRecord(CaptureOutboxState::queued).capture;
    envelope.title = title;
    envelope.taskIntent = TaskIntent{true, "june"};
    session_.client(account.account().server).submit(envelope, account.account().token);
  }

  testsupport::TemporaryTree tree_;
  Session session_;
  DevServer server_;
};

TEST_F(ServerAccountTest, NobodySignedInIsRefusedBeforeAnythingIsAsked) {
  try {
    const ServerAccount account(session_);
    ADD_FAILURE() << "made an account of nobody";
  } catch (const ApplicationError& error) {
    EXPECT_EQ(error.status(), ExitStatus::notSignedIn);
    EXPECT_STREQ(error.what(), "not signed in; run: kestro signin --server URL --email ADDRESS");
  }
}

TEST_F(ServerAccountTest, ReachesTheSignedInUsersItemsTasksAndConversations) {
  const SignedInAccount signedIn =
      session_.signIn(Session::serverOrigin(server_.baseURL()), "ada@example.com");
  const ServerAccount account(session_);
  EXPECT_EQ(account.account().userId, signedIn.userId);
  EXPECT_TRUE(account.items().empty());

  captureTask(account, "Renew the passport");
  ASSERT_EQ(account.items().size(), 1u);
  EXPECT_EQ(account.search("passport").size(), 1u);
  EXPECT_TRUE(account.search("visa").empty());
  const std::vector<KestroTask> tasks = account.tasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_NE(tasks[0].status, "done");
  EXPECT_EQ(account.completeTask(tasks[0].id).status, "done");
  EXPECT_EQ(account.tasks().at(0).status, "done");

  EXPECT_NO_THROW(account.sendFeedback("lovely", tree_.places()));
  std::string streamed;
  const ChatReply reply = account.chat(tree_.places(), {.message = "hello"},
                                       [&](std::string_view text) { streamed += text; });
  EXPECT_TRUE(reply.created);
  EXPECT_EQ(streamed, reply.text);

  SyncCache cache(tree_.places().databaseURL());
  EXPECT_GE(account.synchronize(cache).changes, 2u);
  EXPECT_EQ(cachedItems(cache, signedIn.userId).items.size(), 1u);

  // Once deleted, the account's token is refused as a sign-in that no longer holds.
  account.deleteAccount();
  try {
    account.items();
    ADD_FAILURE() << "a deleted account still answered";
  } catch (const KestroAPIError&) {
    EXPECT_EQ(reportError(std::current_exception()).status, ExitStatus::notSignedIn);
  }
}

}  // namespace
}  // namespace kestro
