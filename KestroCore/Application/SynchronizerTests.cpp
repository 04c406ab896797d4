#include "KestroCore/Application/Synchronizer.h"

#include <gtest/gtest.h>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationTestSupport.h"
#include "Testing/HTTPTestServer.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro {
namespace {

using devserver::DevServer;
using devserver::FaultRule;
using namespace std::chrono_literals;

// The change feed of kestro-devserver's library, into a sync cache on a real database file.
class SynchronizerTest : public ::testing::Test {
 protected:
  SynchronizerTest()
      : client_(*URL::fromString(server_.baseURL()), makeURLSession(), {}),
        session_(client_.developmentSession("ada@example.com")),
        cache_(tree_.places().databaseURL()) {}

  // `count` captures, each of which becomes one item on the server (one change each).
  void capture(int count, const std::string& prefix = "note") {
    for (int i = 0; i < count; ++i) {
      CaptureEnvelope envelope = testsupport::outboxRecord(CaptureOutboxState::queued).capture;
      envelope.title = prefix + " " + std::to_string(i);
      client_.submit(envelope, session_.token);
    }
  }

  SyncResult run(const std::function<void(const SyncPage&, const SyncResult&)>& onPage = {}) {
    return synchronize(client_, session_.token, session_.userId, cache_, onPage);
  }

  testsupport::TemporaryTree tree_;
  DevServer server_;
  KestroAPIClient client_;
  DevelopmentSession session_;
  SyncCache cache_;
};

TEST_F(SynchronizerTest, EachRunResumesFromTheStoredCursor) {
  capture(3);
  const SyncResult first = run();
  EXPECT_EQ(first.startCursor, 0);
  EXPECT_EQ(first.pages, 1u);
  EXPECT_EQ(first.changes, 3u);
  EXPECT_EQ(cachedItems(cache_, session_.userId).items.size(), 3u);

  capture(1, "later");
  const SyncResult second = run();
  EXPECT_EQ(second.startCursor, first.cursor);
  EXPECT_EQ(second.changes, 1u);
  EXPECT_GT(second.cursor, first.cursor);
  const CachedItems cached = cachedItems(cache_, session_.userId);
  ASSERT_EQ(cached.items.size(), 4u);
  EXPECT_EQ(cached.unreadable, 0u);
  EXPECT_EQ(client_.listItems(session_.token).size(), 4u);

  // Nothing new: one empty page, and the cursor stays.
  const SyncResult idle = run();
  EXPECT_EQ(idle.changes, 0u);
  EXPECT_EQ(idle.cursor, second.cursor);
}

TEST_F(SynchronizerTest, ARunCutShortKeepsItsPagesAndTheNextOneGoesOnFromThere) {
  // More than one page (the server sends at most 200 changes at a time).
  capture(250);
  std::int64_t firstPageCursor = -1;
  try {
    run([&](const SyncPage&, const SyncResult& progress) {
      if (progress.pages == 1) {
        firstPageCursor = progress.cursor;
        server_.addFault(FaultRule{.method = "GET", .path = "/v1/sync/changes", .count = 1});
      }
    });
    ADD_FAILURE() << "the second page did not fail";
  } catch (const KestroAPIError& error) {
    EXPECT_EQ(error.code(), "INJECTED_FAULT");
  }
  EXPECT_EQ(cache_.cursor(session_.userId), firstPageCursor);
  EXPECT_EQ(cache_.entities(session_.userId, "item").size(), 200u);

  const SyncResult resumed = run();
  EXPECT_EQ(resumed.startCursor, firstPageCursor);
  EXPECT_EQ(resumed.changes, 50u);
  EXPECT_EQ(cachedItems(cache_, session_.userId).items.size(), 250u);
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
  try {
    synchronize(client, "token", user, cache);
    ADD_FAILURE() << "followed a feed that never moves";
  } catch (const ApplicationError& error) {
    EXPECT_EQ(error.status(), ExitStatus::failure);
  }
  // The first page moved from 0 to 7; the second stayed at 7.
  EXPECT_EQ(requests, 2);
  EXPECT_EQ(cache.cursor(user), 7);
}

}  // namespace
}  // namespace kestro
