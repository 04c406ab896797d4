// The state's routes of items and tasks, search and feedback.

#include "Tools/DevServer/internal/ServerState.h"

#include <algorithm>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/Text.h"
#include "Tools/DevServer/internal/RouteSupport.h"

namespace kestro::devserver {

namespace {

constexpr std::size_t kSearchLimit = 30;

// The bytes [begin, end) of `text`, moved inwards to whole UTF-8 sequences.
std::string_view sliceUTF8(std::string_view text, std::size_t begin, std::size_t end) {
  end = std::min(end, text.size());
  while (begin < end && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) ++begin;
  while (end > begin && end < text.size() &&
         (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

ServerState::ItemRecord* ServerState::findItem(const UUID& user, const std::string& id) {
  const auto itemId = UUID::fromString(id);
  for (ItemRecord& record : items_) {
    if (record.owner == user && itemId && record.item.id == *itemId) return &record;
  }
  return nullptr;
}

ServerState::TaskRecord* ServerState::findTask(const UUID& user, const std::string& id) {
  const auto taskId = UUID::fromString(id);
  for (TaskRecord& record : tasks_) {
    if (record.owner == user && taskId && record.task.id == *taskId) return &record;
  }
  return nullptr;
}

Reply ServerState::listItems(const UUID& user) {
  JSON items = JSON::array();
  for (const ItemRecord& record : items_) {
    if (record.owner == user) items.push_back(encodeJSON(record.item));
  }
  return jsonReply(200, JSON{{"items", std::move(items)}});
}

Reply ServerState::updateItem(const UUID& user, const std::string& id, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const ObjectDecoder object(body, root);
  auto title = object.required<std::string>("title");
  auto annotation = object.required<std::string>("annotation");
  auto content = object.optional<std::string>("content");
  ItemRecord* record = findItem(user, id);
  if (record == nullptr) return notFound("The item");
  record->item.title = std::move(title);
  record->item.annotation = std::move(annotation);
  if (content) record->item.userContent = std::move(content);
  record->item.updatedAt = now();
  recordChange(user, "item", record->item.id, encodeJSON(record->item));
  return jsonReply(200, JSON{{"item", encodeJSON(record->item)}});
}

Reply ServerState::deleteItem(const UUID& user, const std::string& id) {
  ItemRecord* record = findItem(user, id);
  if (record == nullptr) return notFound("The item");
  const UUID itemId = record->item.id;
  eraseIf(items_, [&](const ItemRecord& item) { return item.item.id == itemId; });
  recordChange(user, "item", itemId, std::nullopt);
  return noContent();
}

Reply ServerState::listTasks(const UUID& user) {
  JSON tasks = JSON::array();
  for (const TaskRecord& record : tasks_) {
    if (record.owner == user) tasks.push_back(encodeJSON(record.task));
  }
  return jsonReply(200, JSON{{"tasks", std::move(tasks)}});
}

Reply ServerState::updateTask(const UUID& user, const std::string& id, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  auto status = ObjectDecoder(body, root).required<std::string>("status");
  TaskRecord* record = findTask(user, id);
  if (record == nullptr) return notFound("The task");
  const Date at = now();
  const bool done = status == "done" || status == "completed";
  record->task.status = std::move(status);
  record->task.completedAt =
      done ? std::optional(record->task.completedAt.value_or(at)) : std::nullopt;
  record->task.updatedAt = at;
  recordChange(user, "task", record->task.id, encodeJSON(record->task));
  return jsonReply(200, JSON{{"task", encodeJSON(record->task)}});
}

// --- Search and feedback

Reply ServerState::search(const UUID& user, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const ObjectDecoder object(body, root);
  const auto query = object.required<std::string>("query");
  const auto limit = object.optional<std::int64_t>("limit").value_or(kSearchLimit);
  const std::size_t wanted =
      static_cast<std::size_t>(std::clamp<std::int64_t>(limit, 0, kSearchLimit));
  const std::string needle = asciiLowercased(trimmingWhitespaceAndNewlines(query));

  struct Hit {
    const KestroItem* item;
    double score;
    std::string excerpt;
  };
  std::vector<Hit> hits;
  if (!needle.empty()) {
    for (const ItemRecord& record : items_) {
      if (record.owner != user) continue;
      const KestroItem& item = record.item;
      const std::pair<const std::optional<std::string>, double> fields[] = {
          {item.title, 1.0},         {item.annotation, 0.6},   {item.userContent, 0.5},
          {item.extractedText, 0.5}, {item.canonicalUrl, 0.4},
      };
      for (const auto& [field, score] : fields) {
        if (!field) continue;
        const std::size_t at = asciiLowercased(*field).find(needle);
        if (at == std::string::npos) continue;
        const std::size_t begin = at > 40 ? at - 40 : 0;
        hits.push_back(
            Hit{&item, score, std::string(sliceUTF8(*field, begin, at + needle.size() + 120))});
        break;
      }
    }
  }
  std::stable_sort(hits.begin(), hits.end(),
                   [](const Hit& a, const Hit& b) { return a.score > b.score; });
  if (hits.size() > wanted) hits.resize(wanted);
  JSON results = JSON::array();
  for (const Hit& hit : hits) {
    results.push_back(encodeJSON(SearchResult{
        .item = *hit.item,
        .chunkId = std::nullopt,
        .excerpt = hit.excerpt,
        .score = hit.score,
        .scoreBreakdown = {{"lexical", hit.score}},
    }));
  }
  return jsonReply(200, JSON{{"results", std::move(results)}});
}

Reply ServerState::submitFeedback(const UUID&, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const ObjectDecoder object(body, root);
  object.required<std::string>("body");
  object.required<KestroPlatform>("platform");
  object.required<UUID>("deviceId");
  object.required<std::string>("appVersion");
  ++feedback_;
  return jsonReply(201, JSON{{"feedback", {{"id", UUID().uuidString()}}}});
}

}  // namespace kestro::devserver
