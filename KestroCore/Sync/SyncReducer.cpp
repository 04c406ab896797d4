#include "KestroCore/Sync/SyncReducer.h"

#include <utility>

namespace kestro {

std::string SyncChange::entityKey() const { return entityType + ":" + entityId.uuidString(); }

SyncSnapshot SyncReducer::apply(const SyncPage& page, const SyncSnapshot& to) {
  // A page from before the snapshot may undo newer changes; an equal cursor is a harmless
  // replay, so only a smaller one is refused.
  if (page.cursor < to.cursor) return to;

  SyncSnapshot result{.cursor = page.cursor, .entities = to.entities};
  for (const SyncChange& change : page.changes) {
    // Against the snapshot's own cursor: page order, not sequence order, decides which of two
    // changes to one entity wins.
    if (change.sequence <= to.cursor) continue;
    if (change.operation == "delete") {
      result.entities.erase(change.entityKey());
    } else if (change.entity) {
      result.entities.insert_or_assign(change.entityKey(), *change.entity);
    }
  }
  return result;
}

JSON JSONCoder<SyncChange>::encode(const SyncChange& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("sequence", value.sequence)
      .required("entityType", value.entityType)
      .required("entityId", value.entityId)
      .required("operation", value.operation)
      .optional("entity", value.entity);
  return std::move(object).finish();
}

SyncChange JSONCoder<SyncChange>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return SyncChange{
      .sequence = object.required<std::int64_t>("sequence"),
      .entityType = object.required<std::string>("entityType"),
      .entityId = object.required<UUID>("entityId"),
      .operation = object.required<std::string>("operation"),
      // `optional` reads null as absent, so a JSON null never becomes JSONValue's null case.
      .entity = object.optional<JSONValue>("entity"),
  };
}

JSON JSONCoder<SyncPage>::encode(const SyncPage& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("changes", value.changes)
      .required("cursor", value.cursor)
      .required("hasMore", value.hasMore);
  return std::move(object).finish();
}

SyncPage JSONCoder<SyncPage>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return SyncPage{
      .changes = object.required<std::vector<SyncChange>>("changes"),
      .cursor = object.required<std::int64_t>("cursor"),
      .hasMore = object.required<bool>("hasMore"),
  };
}

}  // namespace kestro
