#include "KestroCore/OutboxStore/SyncCache.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

class SyncCacheTest : public ::testing::Test {
 protected:
  URL databaseURL() const { return URL::fileURL(databasePath_); }

  static JSONValue titled(const std::string& title) {
    return JSONValue::object({{"title", JSONValue::string(title)}});
  }
  static SyncChange upsert(std::int64_t sequence, const UUID& id, const std::string& title,
                           const std::string& type = "item") {
    return SyncChange{sequence, type, id, "upsert", titled(title)};
  }

  // Runs `sql` through a connection of its own and returns the first column of each row.
  std::vector<std::string> rows(const std::string& sql) const {
    std::vector<std::string> found;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(databasePath_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      found.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
  }

  testsupport::TemporaryDirectory temporary_{"kestro-sync-cache"};
  const fs::path databasePath_ = temporary_.path() / "group" / "kestro.sqlite";
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
      {{upsert(3, kept, "stale"), SyncChange{4, "item", removed, "delete", std::nullopt},
        upsert(5, renamed, "new"), upsert(6, renamed, "task", "task")},
       6,
       false},
      // A page behind the stored cursor changes nothing; an empty one at it neither.
      {{upsert(7, kept, "behind")}, 5, false},
      {{}, 6, false},
  };
  {
    SyncCache cache(databaseURL());
    EXPECT_EQ(cache.cursor(alice_), 0);
    for (const SyncPage& page : pages) {
      expected = SyncReducer::apply(page, expected);
      EXPECT_EQ(cache.apply(alice_, page), expected.cursor);
      EXPECT_EQ(cache.snapshot(alice_), expected);
    }
  }
  SyncCache reopened(databaseURL());
  EXPECT_EQ(reopened.cursor(alice_), 6);
  EXPECT_EQ(reopened.snapshot(alice_), expected);
  EXPECT_EQ(reopened.entities(alice_, "task"), std::vector<JSONValue>{titled("task")});
  EXPECT_EQ(reopened.entities(alice_, "item").size(), 2u);
  // Other users have nothing.
  EXPECT_EQ(reopened.cursor(bob_), 0);
  EXPECT_TRUE(reopened.snapshot(bob_).entities.empty());
}

TEST_F(SyncCacheTest, ADamagedEntityIsAnErrorAndAFailedPageStoresNothing) {
  SyncCache cache(databaseURL());
  const UUID id;
  cache.apply(alice_, {{upsert(1, id, "fine")}, 1, false});
  rows("UPDATE cache_entities SET entity_json = 'not json'");
  EXPECT_THROW(cache.snapshot(alice_), DecodingError);
  // The page touches the damaged entity, so it cannot be folded; neither it nor its cursor is
  // stored.
  EXPECT_THROW(
      cache.apply(alice_, {{upsert(2, UUID(), "other"), upsert(3, id, "again")}, 3, false}),
      DecodingError);
  EXPECT_EQ(cache.cursor(alice_), 1);
  EXPECT_EQ(rows("SELECT count(*) FROM cache_entities"), std::vector<std::string>{"1"});
}

TEST_F(SyncCacheTest, AnItemIsFoundByItsCanonicalAddressUntilItIsDeleted) {
  const std::string address = "https://example.com/read?id=1";
  const auto at = [](const std::string& url) {
    return JSONValue::object({{"canonicalUrl", JSONValue::string(url)}});
  };
  const UUID item, task;
  SyncCache cache(databaseURL());
  cache.apply(alice_, {{SyncChange{1, "item", item, "upsert", at(address)},
                        SyncChange{2, "task", task, "upsert", at("https://example.com/task")},
                        upsert(3, UUID(), "no address")},
                       3,
                       false});
  cache.apply(bob_,
              {{SyncChange{1, "item", UUID(), "upsert", at("https://example.com/bob")}}, 1, false});
  EXPECT_TRUE(cache.hasItemWithAddress(alice_, *URL::fromString(address)));
  EXPECT_FALSE(cache.hasItemWithAddress(alice_, *URL::fromString("https://example.com/task")));
  EXPECT_FALSE(cache.hasItemWithAddress(alice_, *URL::fromString("https://example.com/bob")));
  EXPECT_FALSE(cache.hasItemWithAddress(alice_, *URL::fromString("https://example.com/read")));
  cache.apply(alice_, {{SyncChange{4, "item", item, "delete", std::nullopt}}, 4, false});
  EXPECT_FALSE(cache.hasItemWithAddress(alice_, *URL::fromString(address)));
}

}  // namespace
}  // namespace kestro
