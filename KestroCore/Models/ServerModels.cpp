#include "KestroCore/Models/ServerModels.h"

#include <utility>

// Decoders build each record with designated initialisers: they evaluate in field order, so when
// several fields are wrong the error names the first of them, the same one every time.

namespace kestro {
namespace {
using JSONObject = std::map<std::string, JSONValue>;
}  // namespace

JSON JSONCoder<KestroItemRelationship>::encode(const KestroItemRelationship& value,
                                               const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("id", value.id)
      .required("relatedItemId", value.relatedItemId)
      .required("type", value.type)
      .required("source", value.source)
      .required("direction", value.direction)
      .optional("note", value.note)
      .optional("confidence", value.confidence)
      .required("createdAt", value.createdAt)
      .required("updatedAt", value.updatedAt);
  return std::move(object).finish();
}

KestroItemRelationship JSONCoder<KestroItemRelationship>::decode(const JSONSource& json,
                                                                 const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return KestroItemRelationship{
      .id = object.required<UUID>("id"),
      .relatedItemId = object.required<UUID>("relatedItemId"),
      .type = object.required<std::string>("type"),
      .source = object.required<std::string>("source"),
      .direction = object.required<std::string>("direction"),
      .note = object.optional<std::string>("note"),
      .confidence = object.optional<double>("confidence"),
      .createdAt = object.required<Date>("createdAt"),
      .updatedAt = object.required<Date>("updatedAt"),
  };
}

JSON JSONCoder<KestroItem>::encode(const KestroItem& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("id", value.id)
      .required("kind", value.kind)
      .required("status", value.status)
      .required("title", value.title)
      .optional("canonicalUrl", value.canonicalUrl)
      .required("annotation", value.annotation)
      .optional("userContent", value.userContent)
      .optional("normalizedMarkdown", value.normalizedMarkdown)
      .optional("extractedText", value.extractedText)
      .optional("summary", value.summary)
      .required("metadata", value.metadata)
      .required("relationships", value.relationships)
      .required("capturedAt", value.capturedAt)
      .required("createdAt", value.createdAt)
      .required("updatedAt", value.updatedAt);
  return std::move(object).finish();
}

KestroItem JSONCoder<KestroItem>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return KestroItem{
      .id = object.required<UUID>("id"),
      .kind = object.required<SourceKind>("kind"),
      .status = object.required<std::string>("status"),
      .title = object.required<std::string>("title"),
      .canonicalUrl = object.optional<std::string>("canonicalUrl"),
      .annotation = object.required<std::string>("annotation"),
      .userContent = object.optional<std::string>("userContent"),
      .normalizedMarkdown = object.optional<std::string>("normalizedMarkdown"),
      .extractedText = object.optional<std::string>("extractedText"),
      .summary = object.optional<std::string>("summary"),
      .metadata = object.required<JSONObject>("metadata"),
      .relationships = object.required<std::vector<KestroItemRelationship>>("relationships"),
      .capturedAt = object.required<Date>("capturedAt"),
      .createdAt = object.required<Date>("createdAt"),
      .updatedAt = object.required<Date>("updatedAt"),
  };
}

JSON JSONCoder<KestroTask>::encode(const KestroTask& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("id", value.id)
      .optional("sourceItemId", value.sourceItemId)
      .required("title", value.title)
      .optional("description", value.description)
      .required("status", value.status)
      .optional("dueText", value.dueText)
      .optional("dueAt", value.dueAt)
      .required("creatorKind", value.creatorKind)
      .required("createdAt", value.createdAt)
      .required("updatedAt", value.updatedAt)
      .optional("completedAt", value.completedAt);
  return std::move(object).finish();
}

KestroTask JSONCoder<KestroTask>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return KestroTask{
      .id = object.required<UUID>("id"),
      .sourceItemId = object.optional<UUID>("sourceItemId"),
      .title = object.required<std::string>("title"),
      .description = object.optional<std::string>("description"),
      .status = object.required<std::string>("status"),
      .dueText = object.optional<std::string>("dueText"),
      .dueAt = object.optional<Date>("dueAt"),
      .creatorKind = object.required<std::string>("creatorKind"),
      .createdAt = object.required<Date>("createdAt"),
      .updatedAt = object.required<Date>("updatedAt"),
      .completedAt = object.optional<Date>("completedAt"),
  };
}

JSON JSONCoder<SearchResult>::encode(const SearchResult& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("item", value.item)
      .optional("chunkId", value.chunkId)
      .required("excerpt", value.excerpt)
      .required("score", value.score)
      .required("scoreBreakdown", value.scoreBreakdown);
  return std::move(object).finish();
}

SearchResult JSONCoder<SearchResult>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return SearchResult{
      .item = object.required<KestroItem>("item"),
      .chunkId = object.optional<UUID>("chunkId"),
      .excerpt = object.required<std::string>("excerpt"),
      .score = object.required<double>("score"),
      .scoreBreakdown = object.required<std::map<std::string, double>>("scoreBreakdown"),
  };
}

JSON JSONCoder<KestroConversation>::encode(const KestroConversation& value,
                                           const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("id", value.id)
      .required("title", value.title)
      .required("scope", value.scope)
      .required("createdAt", value.createdAt)
      .required("updatedAt", value.updatedAt);
  return std::move(object).finish();
}

KestroConversation JSONCoder<KestroConversation>::decode(const JSONSource& json,
                                                         const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return KestroConversation{
      .id = object.required<UUID>("id"),
      .title = object.required<std::string>("title"),
      .scope = object.required<JSONObject>("scope"),
      .createdAt = object.required<Date>("createdAt"),
      .updatedAt = object.required<Date>("updatedAt"),
  };
}

JSON JSONCoder<KestroCitation>::encode(const KestroCitation& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("id", value.id)
      .required("itemId", value.itemId)
      .optional("chunkId", value.chunkId)
      .required("quote", value.quote)
      .required("sourceLocator", value.sourceLocator)
      .required("ordinal", value.ordinal);
  return std::move(object).finish();
}

KestroCitation JSONCoder<KestroCitation>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return KestroCitation{
      .id = object.required<UUID>("id"),
      .itemId = object.required<UUID>("itemId"),
      .chunkId = object.optional<UUID>("chunkId"),
      .quote = object.required<std::string>("quote"),
      .sourceLocator = object.required<JSONObject>("sourceLocator"),
      .ordinal = object.required<std::int64_t>("ordinal"),
  };
}

JSON JSONCoder<KestroChatMessage>::encode(const KestroChatMessage& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("id", value.id)
      .required("role", value.role)
      .required("status", value.status)
      .required("content", value.content)
      .required("sequence", value.sequence)
      .required("createdAt", value.createdAt)
      .optional("completedAt", value.completedAt)
      .required("citations", value.citations);
  return std::move(object).finish();
}

KestroChatMessage JSONCoder<KestroChatMessage>::decode(const JSONSource& json,
                                                       const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return KestroChatMessage{
      .id = object.required<UUID>("id"),
      .role = object.required<std::string>("role"),
      .status = object.required<std::string>("status"),
      .content = object.required<std::string>("content"),
      .sequence = object.required<std::int64_t>("sequence"),
      .createdAt = object.required<Date>("createdAt"),
      .completedAt = object.optional<Date>("completedAt"),
      .citations = object.required<std::vector<KestroCitation>>("citations"),
  };
}

JSON JSONCoder<KestroConversationDetail>::encode(const KestroConversationDetail& value,
                                                 const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("conversation", value.conversation).required("messages", value.messages);
  return std::move(object).finish();
}

KestroConversationDetail JSONCoder<KestroConversationDetail>::decode(const JSONSource& json,
                                                                     const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return KestroConversationDetail{
      .conversation = object.required<KestroConversation>("conversation"),
      .messages = object.required<std::vector<KestroChatMessage>>("messages"),
  };
}

}  // namespace kestro
