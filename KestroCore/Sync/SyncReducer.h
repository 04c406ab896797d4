#pragma once

// The server's incremental change feed, as the client reduces it: pages of changes, the
// snapshot they fold into, and the fold itself. Values and a pure function; any thread may use
// them, and nothing here stores, fetches or reads a clock.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/JSONValue.h"

namespace kestro {

// One change of one entity.
struct SyncChange {
  std::int64_t sequence;  // position in the server's change order
  std::string entityType;
  UUID entityId;
  // Only the exact text "delete" means a removal; anything else means the entity is now
  // `entity`.
  std::string operation;
  // The entity's full current JSON. In JSON, null reads as absent; a present JSONValue null is
  // therefore written as null but reads back as absent.
  std::optional<JSONValue> entity;

  // The key that names this change's entity in a snapshot: the entity type, ":" and the
  // identifier's canonical upper-case text, so one identifier under two types names two entities.
  std::string entityKey() const;

  bool operator==(const SyncChange&) const = default;
};

// One page of the feed.
struct SyncPage {
  std::vector<SyncChange> changes;  // in the order the server sent them
  std::int64_t cursor;              // where to resume after this page
  bool hasMore;

  bool operator==(const SyncPage&) const = default;
};

// The client's reduced state: the feed position it reflects and the current JSON of every known,
// not deleted entity, keyed by "<entityType>:<ENTITY-ID>". It has no JSON form.
struct SyncSnapshot {
  std::int64_t cursor;
  std::map<std::string, JSONValue> entities;

  bool operator==(const SyncSnapshot&) const = default;
};

namespace SyncReducer {

// Folds one page into `to` and returns the result; `to` is left as it was. A page whose cursor is
// behind the snapshot's is stale and changes nothing. Otherwise the changes apply in page order,
// each one above the snapshot's cursor (not above the one before it), and the result takes the
// page's cursor. Cannot fail; throws only std::bad_alloc.
SyncSnapshot apply(const SyncPage& page, const SyncSnapshot& to);

}  // namespace SyncReducer

// Every key is required except "entity", which is left out when absent. A missing or null
// required key, a wrong JSON kind or an invalid UUID anywhere fails the whole page.
KESTRO_DECLARE_JSON_CODER(SyncChange);
KESTRO_DECLARE_JSON_CODER(SyncPage);

}  // namespace kestro
