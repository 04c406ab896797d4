#include "KestroCore/OutboxStore/SyncCache.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>

#include "KestroCore/OutboxStore/OutboxStore.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

class SyncCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = temporary_.path(); }

  URL databaseURL() const { return URL::fileURL(root_ / "group" / "kestro.sqlite"); }

  static JSONValue titled(const std::string& title) {
    return JSONValue::object({{"title", JSONValue::string(title)}});
  }
  static SyncChange upsert(std::int64_t sequence, const UUID& id, const std::string& title,
                           const std::string& type = "item") {
    return SyncChange{sequence, type, id, "upsert", titled(title)};
  }
  static SyncChange removal(std::int64_t sequence, const UUID& id) {
    return SyncChange{sequence, "item", id, "delete", std::nullopt};
  }

  // The rows of cache_entities as "<type> <deleted> <json or ->", read by a connection of its own.
  std::vector<std::string> rows() const {
    std::vector<std::string> found;
    sqlite3* db = nullptr;
    const fs::path path = root_ / "group" / "kestro.sqlite";
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT entity_type || ' ' || deleted || ' ' || coalesce(entity_json, '-') "
                       "FROM cache_entities ORDER BY entity_type, entity_json",
                       -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      found.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
  }

  testsupport::TemporaryDirectory temporary_{"kestro-sync-cache"};
  fs::path root_;
  const UUID alice_;
  const UUID bob_;
};

TEST_F(SyncCacheTest, PagesFoldLikeTheReducerAndSurviveReopening) {
  const UUID kept, removed, renamed;
  SyncSnapshot expected{0, {}};
  const std::vector<SyncPage> pages{
      {{upsert(1, kept, "kept"), upsert(2, removed, "soon gone"), upsert(3, renamed, "old")},
       3,
       true},
      // Sequence 3 again (at or below the stored cursor) is skipped, as the reducer skips it.
      {{upsert(3, kept, "stale"), removal(4, removed), upsert(5, renamed, "new"),
        upsert(6, renamed, "task", "task")},
       6,
       false},
  };
  {
    SyncCache cache(databaseURL());
    EXPECT_EQ(cache.cursor(alice_), 0);
    for (const SyncPage& page : pages) {
      expected = SyncReducer::apply(page, expected);
      EXPECT_EQ(cache.apply(alice_, page), page.cursor);
      EXPECT_EQ(cache.snapshot(alice_), expected);
    }
  }
  SyncCache reopened(databaseURL());
  EXPECT_EQ(reopened.cursor(alice_), 6);
  EXPECT_EQ(reopened.snapshot(alice_), expected);
  EXPECT_EQ(reopened.entities(alice_, "task"), std::vector<JSONValue>{titled("task")});
  EXPECT_EQ(reopened.entities(alice_, "item").size(), 2u);
  // The removed entity stays as a row marked deleted, without its JSON.
  EXPECT_EQ(rows(), (std::vector<std::string>{"item 1 -", "item 0 {\"title\":\"kept\"}",
                                              "item 0 {\"title\":\"new\"}",
                                              "task 0 {\"title\":\"task\"}"}));
  // Other users have nothing.
  EXPECT_EQ(reopened.cursor(bob_), 0);
  EXPECT_TRUE(reopened.snapshot(bob_).entities.empty());
}

TEST_F(SyncCacheTest, APageBehindTheStoredCursorChangesNothing) {
  SyncCache cache(databaseURL());
  const UUID id;
  cache.apply(alice_, {{upsert(10, id, "current")}, 10, false});
  const SyncSnapshot before = cache.snapshot(alice_);
  EXPECT_EQ(cache.apply(alice_, {{upsert(9, id, "older"), removal(11, id)}, 9, false}), 10);
  EXPECT_EQ(cache.snapshot(alice_), before);
  // A page at the cursor already stored is folded in; an empty one changes nothing.
  EXPECT_EQ(cache.apply(alice_, {{}, 10, false}), 10);
  EXPECT_EQ(cache.snapshot(alice_), before);
}

TEST_F(SyncCacheTest, SharesTheOutboxDatabaseAndGoesWithTheUsersData) {
  OutboxStore store(databaseURL());
  SyncCache cache(databaseURL());
  cache.apply(alice_, {{upsert(1, UUID(), "a")}, 1, false});
  cache.apply(bob_, {{upsert(2, UUID(), "b")}, 2, false});
  store.deleteAll(alice_);
  EXPECT_EQ(cache.cursor(alice_), 0);
  EXPECT_TRUE(cache.snapshot(alice_).entities.empty());
  EXPECT_EQ(cache.cursor(bob_), 2);
  EXPECT_EQ(cache.snapshot(bob_).entities.size(), 1u);
}

TEST_F(SyncCacheTest, ADamagedEntityIsAnErrorAndAFailedPageStoresNothing) {
  SyncCache cache(databaseURL());
  const UUID id;
  cache.apply(alice_, {{upsert(1, id, "fine")}, 1, false});
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root_ / "group" / "kestro.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE cache_entities SET entity_json = 'not json'", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  EXPECT_THROW(cache.snapshot(alice_), DecodingError);
  // The page touches the damaged entity, so it cannot be folded; neither it nor its cursor is
  // stored.
  EXPECT_THROW(
      cache.apply(alice_, {{upsert(2, UUID(), "other"), upsert(3, id, "again")}, 3, false}),
      DecodingError);
  EXPECT_EQ(cache.cursor(alice_), 1);
  EXPECT_EQ(rows().size(), 1u);
}

TEST_F(SyncCacheTest, OpeningSomethingThatIsNotAFileURLIsRefused) {
  EXPECT_THROW(SyncCache(URL::fromString("https://example.com/kestro.sqlite").value()),
               std::invalid_argument);
}

}  // namespace
}  // namespace kestro
