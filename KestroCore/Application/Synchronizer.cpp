#include "KestroCore/Application/Synchronizer.h"

#include <algorithm>

#include "KestroCore/Application/ApplicationError.h"

namespace kestro {

SyncResult synchronize(const KestroAPIClient& client, const std::string& token, const UUID& userId,
                       SyncCache& cache,
                       const std::function<void(const SyncPage&, const SyncResult&)>& onPage) {
  SyncResult result;
  result.startCursor = result.cursor = cache.cursor(userId);
  for (;;) {
    const SyncPage page = client.sync(result.cursor, token);
    const std::int64_t before = result.cursor;
    result.cursor = cache.apply(userId, page);
    ++result.pages;
    result.changes += page.changes.size();
    if (onPage) onPage(page, result);
    if (!page.hasMore) return result;
    if (result.cursor <= before) {
      throw ApplicationError(ExitStatus::failure,
                             "the server's change feed does not move past cursor " +
                                 std::to_string(before) + "; try again later");
    }
  }
}

CachedItems cachedItems(SyncCache& cache, const UUID& userId) {
  CachedItems cached;
  for (const JSONValue& entity : cache.entities(userId, "item")) {
    try {
      cached.items.push_back(decodeJSON<KestroItem>(encodeJSON(entity)));
    } catch (const DecodingError&) {
      ++cached.unreadable;
    }
  }
  std::stable_sort(
      cached.items.begin(), cached.items.end(),
      [](const KestroItem& a, const KestroItem& b) { return a.capturedAt > b.capturedAt; });
  return cached;
}

}  // namespace kestro
