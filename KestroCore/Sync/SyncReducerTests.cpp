#include "KestroCore/Sync/SyncReducer.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

namespace kestro {
namespace {

const UUID kItem = UUID::fromString("0a1b2c3d-0000-4000-8000-00000000000a").value();
const UUID kOther = UUID::fromString("0A1B2C3D-0000-4000-8000-00000000000B").value();
const std::string kItemKey = "item:0A1B2C3D-0000-4000-8000-00000000000A";
const std::string kOtherKey = "item:0A1B2C3D-0000-4000-8000-00000000000B";
const std::string kTaskKey = "task:0A1B2C3D-0000-4000-8000-00000000000A";

JSONValue title(const char* text) {
  return JSONValue::object({{"title", JSONValue::string(text)}});
}

SyncChange upsert(std::int64_t sequence, const UUID& id, const char* text,
                  const char* type = "item", const char* operation = "upsert") {
  return SyncChange{sequence, type, id, operation, title(text)};
}

SyncChange remove(std::int64_t sequence, const UUID& id, const char* type = "item") {
  return SyncChange{sequence, type, id, "delete", std::nullopt};
}

SyncSnapshot snapshot(std::int64_t cursor,
                      const std::vector<std::pair<std::string, const char*>>& titles) {
  SyncSnapshot result{cursor, {}};
  for (const auto& [key, text] : titles) result.entities.emplace(key, title(text));
  return result;
}

TEST(SyncReducerTest, FoldsPagesIntoSnapshots) {
  const SyncSnapshot start = snapshot(10, {{kItemKey, "old"}});
  SyncChange noEntity = upsert(11, kItem, "gone?");
  noEntity.entity.reset();
  // clang-format off
  const struct {
    const char* scenario;
    SyncPage page;
    SyncSnapshot expected;
  } cases[] = {
      {"stale page is ignored whole", {{upsert(11, kOther, "new"), remove(12, kItem)}, 9, true},
       start},
      {"equal cursor is processed", {{upsert(11, kOther, "new")}, 10, false},
       snapshot(10, {{kItemKey, "old"}, {kOtherKey, "new"}})},
      {"sequences at and below the cursor are skipped",
       {{upsert(9, kOther, "nine"), upsert(10, kItem, "ten"), upsert(11, kItem, "eleven"),
         upsert(12, kOther, "twelve")}, 12, false},
       snapshot(12, {{kItemKey, "eleven"}, {kOtherKey, "twelve"}})},
      {"cursor comes from the page, not the highest sequence",
       {{upsert(40, kOther, "new")}, 20, true},
       snapshot(20, {{kItemKey, "old"}, {kOtherKey, "new"}})},
      {"a delete carrying an entity only removes",
       {{upsert(12, kOther, "x"), upsert(13, kItem, "kept?", "item", "delete")}, 13, false},
       snapshot(13, {{kOtherKey, "x"}})},
      {"only the exact text delete removes",
       {{upsert(11, kItem, "replaced", "item", "Delete"),
         upsert(12, kOther, "added", "item", "DELETE")}, 12, false},
       snapshot(12, {{kItemKey, "replaced"}, {kOtherKey, "added"}})},
      {"a non-delete change without entity is skipped", {{noEntity}, 11, false},
       snapshot(11, {{kItemKey, "old"}})},
      {"one identifier under two types is two entities",
       {{upsert(11, kItem, "task", "task"), remove(12, kItem, "note")}, 12, false},
       snapshot(12, {{kItemKey, "old"}, {kTaskKey, "task"}})},
  };
  // clang-format on
  for (const auto& [scenario, page, expected] : cases) {
    const SyncSnapshot before = start;
    EXPECT_EQ(SyncReducer::apply(page, before), expected) << scenario;
    EXPECT_EQ(before, start) << scenario << ": the input snapshot changed";
  }
}

TEST(SyncPageCodingTest, DecodesTheServersPageAndRefusesAMalformedOneWhole) {
  const auto page = decodeJSONString<SyncPage>(R"({"cursor": 13, "hasMore": true, "changes": [
      {"sequence": 11, "entityType": "item", "entityId": "0a1b2c3d-0000-4000-8000-00000000000a",
       "operation": "upsert", "entity": {"title": "old"}},
      {"sequence": 12, "entityType": "item", "entityId": "0A1B2C3D-0000-4000-8000-00000000000B",
       "operation": "upsert", "entity": null, "ignored": "key"}]})");
  // null reads as absent, not as JSON null, so the reducer skips that change.
  EXPECT_EQ(
      page,
      (SyncPage{
          {upsert(11, kItem, "old"), {12, "item", kOther, "upsert", std::nullopt}}, 13, true}));
  EXPECT_EQ(decodeJSON<SyncPage>(encodeJSON(page)), page);

  // One change without its operation fails the whole page.
  JSON damaged = encodeJSON(page);
  damaged["changes"][1].erase("operation");
  try {
    decodeJSON<SyncPage>(damaged);
    ADD_FAILURE() << "decoded without an operation";
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.codingPath(), "changes[1].operation") << error.what();
  }
}

}  // namespace
}  // namespace kestro
