#include "KestroCore/Application/Synchronizer.h"

#include <gtest/gtest.h>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationTestSupport.h"
#include "Testing/HTTPTestServer.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro {
namespace {

using devserver::FaultRule;

// The change feed of kestro-devserver's library, into a sync cache on a real database file.
TEST(SynchronizerTest, ARunCutShortKeepsItsPagesAndTheNextOneGoesOnFromThere) {
  testsupport::TemporaryTree tree;
  devserver::DevServer server;
  const KestroAPIClient client(*URL::fromString(server.baseURL()), makeURLSession(), {});
  const DevelopmentSession session = client.developmentSession("ada@example.com");
  SyncCache cache(tree.places().databaseURL());
  const auto run = [&](const std::function<void(const SyncPage&, const SyncResult&)>& onPage) {
    return synchronize(client, session.token, session.userId, cache, onPage);
  };
  // More than one page (the server sends at most 200 changes at a time): one item, one change.
  for (int i = 0; i < 250; ++i) {
    client.submit(testsupport::outboxRecord(CaptureOutboxState::queued).capture, session.token);
  }
  std::int64_t firstPageCursor = -1;
  EXPECT_THROW(
      run([&](const SyncPage&, const SyncResult& progress) {
        if (progress.pages == 1) {
          firstPageCursor = progress.cursor;
          server.addFault(FaultRule{.method = "GET", .path = "/v1/sync/changes", .count = 1});
        }
      }),
      KestroAPIError);
  EXPECT_EQ(cache.cursor(session.userId), firstPageCursor);
  EXPECT_EQ(cache.entities(session.userId, "item").size(), 200u);

  const SyncResult resumed = run({});
  EXPECT_EQ(resumed.startCursor, firstPageCursor);
  EXPECT_EQ(resumed.changes, 50u);
  EXPECT_EQ(cachedItems(cache, session.userId).items.size(), 250u);
  // Nothing new: the cursor stays.
  const SyncResult idle = run({});
  EXPECT_EQ(idle.changes, 0u);
  EXPECT_EQ(idle.cursor, resumed.cursor);
}

TEST(SynchronizerGuardTest, AFeedThatSaysMoreButDoesNotMoveIsNotFollowedForever) {
  testsupport::TemporaryTree tree;
  testsupport::HTTPTestServer server;
  int requests = 0;
  server.route("GET", "/v1/sync/changes", [&](const testsupport::ReceivedRequest&) {
    ++requests;
    return testsupport::ScriptedResponse{.body =
                                             R"({"changes": [], "cursor": 7, "hasMore": true})"};
  });
  const KestroAPIClient client(*URL::fromString(server.baseURL()), makeURLSession(), {});
  SyncCache cache(tree.places().databaseURL());
  const UUID user;
  EXPECT_EQ(testsupport::refusalOf([&] { synchronize(client, "token", user, cache); }).status,
            ExitStatus::failure);
  // The first page moved from 0 to 7; the second stayed at 7.
  EXPECT_EQ(requests, 2);
  EXPECT_EQ(cache.cursor(user), 7);
}

}  // namespace
}  // namespace kestro
