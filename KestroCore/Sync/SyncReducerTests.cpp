#include "KestroCore/Sync/SyncReducer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
                  const char* entityType = "item") {
  return SyncChange{.sequence = sequence,
                    .entityType = entityType,
                    .entityId = id,
                    .operation = "upsert",
                    .entity = title(text)};
}

SyncChange remove(std::int64_t sequence, const UUID& id, const char* entityType = "item") {
  return SyncChange{.sequence = sequence,
                    .entityType = entityType,
                    .entityId = id,
                    .operation = "delete",
                    .entity = std::nullopt};
}

SyncChange withOperation(SyncChange change, const char* operation) {
  change.operation = operation;
  return change;
}

SyncChange withoutEntity(SyncChange change) {
  change.entity.reset();
  return change;
}

TEST(SyncReducerTest, FoldsPagesIntoSnapshots) {
  const SyncSnapshot start{.cursor = 10, .entities = {{kItemKey, title("old")}}};
  const struct {
    const char* scenario;
    SyncPage page;
    SyncSnapshot expected;
  } cases[] = {
      {"stale page is ignored whole",
       {.changes = {upsert(11, kOther, "new"), remove(12, kItem)}, .cursor = 9, .hasMore = true},
       start},
      {"empty page moves the cursor",
       {.changes = {}, .cursor = 12, .hasMore = false},
       {.cursor = 12, .entities = start.entities}},
      {"equal cursor is processed",
       {.changes = {upsert(11, kOther, "new")}, .cursor = 10, .hasMore = false},
       {.cursor = 10, .entities = {{kItemKey, title("old")}, {kOtherKey, title("new")}}}},
      {"sequences at and below the cursor are skipped",
       {.changes = {upsert(9, kOther, "nine"), upsert(10, kItem, "ten"),
                    upsert(11, kItem, "eleven"), upsert(12, kOther, "twelve")},
        .cursor = 12,
        .hasMore = false},
       {.cursor = 12, .entities = {{kItemKey, title("eleven")}, {kOtherKey, title("twelve")}}}},
      {"cursor comes from the page, not the highest sequence",
       {.changes = {upsert(40, kOther, "new")}, .cursor = 20, .hasMore = true},
       {.cursor = 20, .entities = {{kItemKey, title("old")}, {kOtherKey, title("new")}}}},
      {"deleting an unknown entity changes nothing",
       {.changes = {remove(11, kOther)}, .cursor = 12, .hasMore = false},
       {.cursor = 12, .entities = start.entities}},
      {"delete then re-add leaves the entity",
       {.changes = {remove(11, kItem), upsert(12, kItem, "again")}, .cursor = 12, .hasMore = false},
       {.cursor = 12, .entities = {{kItemKey, title("again")}}}},
      {"a delete carrying an entity only removes",
       {.changes = {upsert(12, kOther, "x"), withOperation(upsert(13, kItem, "kept?"), "delete")},
        .cursor = 13,
        .hasMore = false},
       {.cursor = 13, .entities = {{kOtherKey, title("x")}}}},
      {"only the exact text delete removes",
       {.changes = {withOperation(upsert(11, kItem, "replaced"), "Delete"),
                    withOperation(upsert(12, kOther, "added"), "DELETE")},
        .cursor = 12,
        .hasMore = false},
       {.cursor = 12, .entities = {{kItemKey, title("replaced")}, {kOtherKey, title("added")}}}},
      {"a non-delete change without entity is skipped",
       {.changes = {withoutEntity(upsert(11, kItem, "gone?"))}, .cursor = 11, .hasMore = false},
       {.cursor = 11, .entities = start.entities}},
      {"page order wins over sequence order",
       {.changes = {upsert(15, kItem, "fifteen"), upsert(14, kItem, "fourteen")},
        .cursor = 15,
        .hasMore = false},
       {.cursor = 15, .entities = {{kItemKey, title("fourteen")}}}},
      {"one identifier under two types is two entities",
       {.changes = {upsert(11, kItem, "task", "task"), remove(12, kItem, "note")},
        .cursor = 12,
        .hasMore = false},
       {.cursor = 12, .entities = {{kItemKey, title("old")}, {kTaskKey, title("task")}}}},
  };
  for (const auto& [scenario, page, expected] : cases) {
    const SyncSnapshot before = start;
    EXPECT_EQ(SyncReducer::apply(page, before), expected) << scenario;
    EXPECT_EQ(before, start) << scenario << ": the input snapshot changed";
  }
}

TEST(SyncPageCodingTest, DecodesTheServersPage) {
  const auto page = decodeJSONString<SyncPage>(R"({
    "changes": [
      {"sequence": 11, "entityType": "item", "entityId": "0a1b2c3d-0000-4000-8000-00000000000a",
       "operation": "upsert", "entity": {"title": "old", "tags": [1, true, null]}},
      {"sequence": 12, "entityType": "item", "entityId": "0A1B2C3D-0000-4000-8000-00000000000B",
       "operation": "upsert", "entity": null},
      {"sequence": 13, "entityType": "item", "entityId": "0A1B2C3D-0000-4000-8000-00000000000B",
       "operation": "delete", "ignored": "key"}
    ],
    "cursor": 13, "hasMore": true})");

  ASSERT_EQ(page.changes.size(), 3u);
  EXPECT_EQ(page.changes[0].entityId, kItem);
  EXPECT_EQ(
      page.changes[0].entity,
      JSONValue::object({{"title", JSONValue::string("old")},
                         {"tags", JSONValue::array({JSONValue::number(1), JSONValue::boolean(true),
                                                    JSONValue::null()})}}));
  EXPECT_EQ(page.changes[1].entity, std::nullopt) << "null reads as absent, not as JSON null";
  EXPECT_EQ(page.changes[2].entity, std::nullopt);
  EXPECT_EQ(page.cursor, 13);
  EXPECT_TRUE(page.hasMore);

  // The change whose entity was null is skipped, not stored as null.
  const SyncPage nullOnly{.changes = {page.changes[1]}, .cursor = 13, .hasMore = false};
  EXPECT_EQ(SyncReducer::apply(nullOnly, {.cursor = 0, .entities = {}}),
            (SyncSnapshot{.cursor = 13, .entities = {}}));

  // Written back: sorted keys, upper-case identifiers, an absent entity left out.
  EXPECT_EQ(decodeJSON<SyncPage>(encodeJSON(page)), page);
  EXPECT_EQ(encodeJSONString(page.changes[2]),
            R"({"entityId":"0A1B2C3D-0000-4000-8000-00000000000B","entityType":"item",)"
            R"("operation":"delete","sequence":13})");
}

TEST(SyncPageCodingTest, RefusesAMalformedPageWhole) {
  const struct {
    const char* json;
    const char* codingPath;
  } cases[] = {
      {R"({"changes": [], "cursor": 1})", "hasMore"},
      {R"({"changes": [], "cursor": null, "hasMore": false})", "cursor"},
      {R"({"changes": [{"sequence": 1, "operation": "delete", "entityType": "item",)"
       R"( "entityId": "0A1B2C3D-0000-4000-8000-00000000000B"}, {"sequence": 2,)"
       R"( "entityType": "item", "entityId": "0A1B2C3D-0000-4000-8000-00000000000B"}],)"
       R"( "cursor": 2, "hasMore": false})",
       "changes[1].operation"},
      {R"({"changes": [{"sequence": 1, "operation": "delete", "entityType": "item",)"
       R"( "entityId": "not-a-uuid"}], "cursor": 1, "hasMore": false})",
       "changes[0].entityId"},
  };
  for (const auto& [json, codingPath] : cases) {
    try {
      decodeJSONString<SyncPage>(json);
      ADD_FAILURE() << "decoded: " << json;
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.codingPath(), codingPath) << error.what();
    }
  }
}

}  // namespace
}  // namespace kestro
