// The state's change log and GET /v1/sync/changes.

#include "Tools/DevServer/internal/ServerState.h"

#include <algorithm>

#include "Tools/DevServer/internal/RouteSupport.h"

namespace kestro::devserver {

namespace {

constexpr std::int64_t kSyncPageLimit = 200;

}  // namespace

void ServerState::recordChange(const UUID& user, std::string_view entityType, const UUID& id,
                               std::optional<JSON> entity) {
  changes_.push_back(
      ChangeRecord{user, SyncChange{
                             .sequence = ++lastSequence_,
                             .entityType = std::string(entityType),
                             .entityId = id,
                             .operation = entity ? "upsert" : "delete",
                             .entity = entity ? std::optional(jsonValue(*entity)) : std::nullopt,
                         }});
}

Reply ServerState::syncChanges(const UUID& user, const Call& call) {
  const std::int64_t cursor = integerParameter(call.query, "cursor", 0);
  const std::int64_t limit = std::clamp<std::int64_t>(
      integerParameter(call.query, "limit", kSyncPageLimit), 1, kSyncPageLimit);
  SyncPage page{.changes = {}, .cursor = cursor, .hasMore = false};
  for (const ChangeRecord& record : changes_) {
    if (record.owner != user || record.change.sequence <= cursor) continue;
    if (static_cast<std::int64_t>(page.changes.size()) == limit) {
      page.hasMore = true;
      break;
    }
    page.changes.push_back(record.change);
    page.cursor = record.change.sequence;
  }
  return jsonReply(200, encodeJSON(page));
}

}  // namespace kestro::devserver
