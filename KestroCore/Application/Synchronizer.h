#pragma once

// `kestro sync`: the server's change feed, page after page, folded into the sync cache of the
// outbox database so that the next run resumes where this one stopped, and `kestro items
// --cached` works without the network.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "KestroCore/API/KestroAPIClient.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/ServerModels.h"
#include "KestroCore/OutboxStore/SyncCache.h"

namespace kestro {

struct SyncResult {
  std::int64_t startCursor = 0;  // the stored cursor the run resumed from
  std::int64_t cursor = 0;       // the stored cursor afterwards
  std::size_t pages = 0;
  std::size_t changes = 0;  // changes received (some may have been stale)

  bool operator==(const SyncResult&) const = default;
};

// Fetches pages after the user's stored cursor until one says no more follow, storing each page
// (and its cursor) before asking for the next, and calls `onPage` after each is stored. A failure
// part way keeps what was stored: the next run resumes after the last stored page. Throws
// KestroAPIError for an exchange, what the cache throws, and ApplicationError (failure) when the
// server says more pages follow but its cursor does not move forward (asking again would loop).
SyncResult synchronize(const KestroAPIClient& client, const std::string& token, const UUID& userId,
                       SyncCache& cache,
                       const std::function<void(const SyncPage&, const SyncResult&)>& onPage = {});

// The cached items, decoded, newest capture first. Entities that no longer decode as items (a
// server of another version) are counted in `unreadable` and left out, so one odd entity does
// not hide the rest.
struct CachedItems {
  std::vector<KestroItem> items;
  std::size_t unreadable = 0;
};
CachedItems cachedItems(SyncCache& cache, const UUID& userId);

}  // namespace kestro
