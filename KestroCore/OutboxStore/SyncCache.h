#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/JSONValue.h"
#include "KestroCore/Sync/SyncReducer.h"

namespace kestro {

namespace sqlite {
class Connection;
}

// The application's copy of the server's entities, kept between runs in the outbox database's
// `cache_entities` and `sync_state` tables (the same file as the outbox, so deleting a user's
// data with `OutboxStore::deleteAll` clears the cache too). Each page of the change feed is folded
// in with `SyncReducer::apply` and stored in one transaction together with its cursor, so a sync
// cut short resumes after the last page stored, and a reader never sees a page half applied.
//
// Rows: one per (user, entity type, entity id), the id as its upper-case UUID text; an entity
// removed by the feed keeps its row with `deleted` 1 and no JSON. `sync_state` holds one cursor
// per user (0 when there is none yet).
//
// Thread safety: like OutboxStore, every operation holds one mutex of the instance, and
// read-modify-writes run in immediate transactions that wait up to five seconds for another
// process. Not copyable: it owns its connection.
//
// Errors: OutboxError::sqlite for a database failure, DecodingError for a cached entity whose
// JSON no longer reads, EncodingError for an entity JSON cannot carry, and
// std::filesystem::filesystem_error for the database's directory. A failed operation changes
// nothing.
class SyncCache {
 public:
  // Opens (creating as needed) the database at a file URL, like OutboxStore does. Throws
  // std::invalid_argument when `databaseURL` is not a local file URL.
  explicit SyncCache(const URL& databaseURL);
  ~SyncCache();

  SyncCache(const SyncCache&) = delete;
  SyncCache& operator=(const SyncCache&) = delete;

  // Where the user's feed resumes: the cursor of the last page stored, 0 before the first.
  std::int64_t cursor(const UUID& userId);

  // Folds `page` into the user's stored snapshot and stores the result with its cursor, as
  // SyncReducer::apply would fold it into the whole snapshot (a page behind the stored cursor
  // changes nothing). Only the entities the page names are read and written. Returns the
  // stored cursor afterwards.
  std::int64_t apply(const UUID& userId, const SyncPage& page);

  // The user's whole stored snapshot: its cursor and every entity not deleted, keyed like
  // SyncChange::entityKey.
  SyncSnapshot snapshot(const UUID& userId);

  // The stored entities of one type (not deleted), ordered by their identifier's text.
  std::vector<JSONValue> entities(const UUID& userId, std::string_view entityType);

  // Whether a stored item (not deleted) has this `canonicalUrl`. Reads the index, not the items.
  bool hasItemWithAddress(const UUID& userId, const URL& address);

 private:
  std::mutex mutex_;
  std::unique_ptr<sqlite::Connection> connection_;
};

}  // namespace kestro
