#include "KestroCore/OutboxStore/SyncCache.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "KestroCore/OutboxStore/internal/SQLite.h"
#include "KestroCore/OutboxStore/internal/Schema.h"

namespace kestro {
namespace {

using sqlite::Blob;
using sqlite::Null;
using sqlite::Text;

constexpr const char* kCursor = "SELECT cursor FROM sync_state WHERE user_id = ?";
constexpr const char* kStoreCursor =
    "INSERT INTO sync_state(user_id, cursor) VALUES(?, ?)\n"
    "ON CONFLICT(user_id) DO UPDATE SET cursor = excluded.cursor";
constexpr const char* kEntity =
    "SELECT entity_json FROM cache_entities\n"
    "WHERE user_id = ? AND entity_type = ? AND entity_id = ? AND deleted = 0";
constexpr const char* kStoreEntity =
    "INSERT INTO cache_entities(user_id, entity_type, entity_id, entity_json, deleted)\n"
    "VALUES(?, ?, ?, ?, ?)\n"
    "ON CONFLICT(user_id, entity_type, entity_id) DO UPDATE SET\n"
    "  entity_json = excluded.entity_json,\n"
    "  deleted = excluded.deleted";
constexpr const char* kAllEntities =
    "SELECT entity_type, entity_id, entity_json FROM cache_entities\n"
    "WHERE user_id = ? AND deleted = 0 ORDER BY entity_type, entity_id";
constexpr const char* kEntitiesOfType =
    "SELECT entity_json FROM cache_entities\n"
    "WHERE user_id = ? AND entity_type = ? AND deleted = 0 ORDER BY entity_id";

JSONValue decodeEntity(const std::string& json) { return decodeJSONString<JSONValue>(json); }

std::int64_t storedCursor(sqlite::Connection& connection, const std::string& user) {
  const auto rows = connection.query(kCursor, {Text{user}});
  if (rows.empty() || rows.front().empty() || !rows.front().front()) return 0;
  // Read back as text: the column holds an integer, which SQLite hands out in decimal.
  try {
    return std::stoll(*rows.front().front());
  } catch (const std::exception&) {
    sqlite::fail("sync_state holds a cursor that is not an integer");
  }
}

// Where an entity of a change lives: its type and its identifier's text.
struct EntityAddress {
  std::string type;
  std::string id;
};

}  // namespace

SyncCache::SyncCache(const URL& databaseURL)
    : connection_(sqlite::openOutboxDatabase(databaseURL, "SyncCache")) {}

SyncCache::~SyncCache() = default;

std::int64_t SyncCache::cursor(const UUID& userId) {
  std::lock_guard lock(mutex_);
  return storedCursor(*connection_, userId.uuidString());
}

std::int64_t SyncCache::apply(const UUID& userId, const SyncPage& page) {
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  sqlite::Transaction transaction(*connection_);

  // The part of the stored snapshot that the page can touch: the reducer needs nothing else.
  SyncSnapshot before{.cursor = storedCursor(*connection_, user), .entities = {}};
  if (page.cursor < before.cursor) return before.cursor;
  std::map<std::string, EntityAddress> touched;
  for (const SyncChange& change : page.changes) {
    if (change.sequence <= before.cursor) continue;
    const std::string key = change.entityKey();
    if (touched.contains(key)) continue;
    EntityAddress address{change.entityType, change.entityId.uuidString()};
    const auto rows =
        connection_->query(kEntity, {Text{user}, Text{address.type}, Text{address.id}});
    if (!rows.empty() && !rows.front().empty() && rows.front().front()) {
      before.entities.emplace(key, decodeEntity(*rows.front().front()));
    }
    touched.emplace(key, std::move(address));
  }

  const SyncSnapshot after = SyncReducer::apply(page, before);
  for (const auto& [key, address] : touched) {
    const auto entity = after.entities.find(key);
    if (entity != after.entities.end()) {
      const std::string json = encodeJSONString(entity->second);
      connection_->execute(kStoreEntity, {Text{user}, Text{address.type}, Text{address.id},
                                          Blob{json}, std::int64_t{0}});
    } else {
      connection_->execute(kStoreEntity, {Text{user}, Text{address.type}, Text{address.id}, Null{},
                                          std::int64_t{1}});
    }
  }
  connection_->execute(kStoreCursor, {Text{user}, after.cursor});
  transaction.commit();
  return after.cursor;
}

SyncSnapshot SyncCache::snapshot(const UUID& userId) {
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  // One read transaction, so the cursor and the entities belong together; it takes no write
  // lock, so a share enqueued meanwhile is not kept waiting.
  sqlite::Transaction transaction(*connection_, sqlite::Transaction::Kind::read);
  SyncSnapshot snapshot{.cursor = storedCursor(*connection_, user), .entities = {}};
  for (const auto& row : connection_->query(kAllEntities, {Text{user}})) {
    if (row.size() < 3 || !row[0] || !row[1] || !row[2]) continue;
    snapshot.entities.emplace(*row[0] + ":" + *row[1], decodeEntity(*row[2]));
  }
  transaction.commit();
  return snapshot;
}

std::vector<JSONValue> SyncCache::entities(const UUID& userId, std::string_view entityType) {
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  std::vector<JSONValue> found;
  for (const auto& row : connection_->query(kEntitiesOfType, {Text{user}, Text{entityType}})) {
    if (row.empty() || !row.front()) continue;
    found.push_back(decodeEntity(*row.front()));
  }
  return found;
}

bool SyncCache::hasItemWithAddress(const UUID& userId, const URL& address) {
  // The address's expression repeats the index's (internal/Schema.h).
  static const std::string query = std::string("SELECT 1 FROM cache_entities\n") +
                                   "WHERE user_id = ? AND entity_type = 'item' AND " +
                                   sqlite::kItemAddressExpression + " = ? AND deleted = 0 LIMIT 1";
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  const std::string text = address.absoluteString();
  return !connection_->query(query, {Text{user}, Text{text}}).empty();
}

}  // namespace kestro
