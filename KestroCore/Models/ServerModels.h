#pragma once

// What the server hands back: items (what captures became) and their links, tasks, search hits,
// conversations with their messages and citations. The API client decodes them from responses
// and never interprets the status, type or role texts, which are the server's vocabulary; only an
// item's `kind` is a closed enumeration.
//
// Decoding is all or nothing: a missing or null required key, a wrong JSON kind, a bad UUID or
// date, or a `kind` that is no SourceKind throws DecodingError, and the enclosing response is not
// produced either. Map fields are required but may be empty. Keys the client does not know are
// ignored. Records compare field by field (list order matters, map member order does not).
//
// All types here are plain aggregates: copy, compare and encode them from any thread.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/Models/JSONValue.h"

namespace kestro {

// A link from the enclosing item to another item.
struct KestroItemRelationship {
  UUID id;
  UUID relatedItemId;
  std::string type;
  std::string source;
  std::string direction;
  std::optional<std::string> note;
  std::optional<double> confidence;
  Date createdAt;
  Date updatedAt;

  bool operator==(const KestroItemRelationship&) const = default;
};

// An item the server stored, usually made from one capture.
struct KestroItem {
  UUID id;
  SourceKind kind;
  std::string status;
  std::string title;
  // Kept as the server's text: a page's canonical link is not always a URL we could parse, and
  // refusing it would lose the whole item.
  std::optional<std::string> canonicalUrl;
  std::string annotation;
  std::optional<std::string> userContent;
  std::optional<std::string> normalizedMarkdown;
  std::optional<std::string> extractedText;
  std::optional<std::string> summary;
  std::map<std::string, JSONValue> metadata;
  std::vector<KestroItemRelationship> relationships;  // in the server's order
  Date capturedAt;
  Date createdAt;
  Date updatedAt;

  bool operator==(const KestroItem&) const = default;
};

// A task, possibly derived from an item.
struct KestroTask {
  UUID id;
  std::optional<UUID> sourceItemId;
  std::string title;
  std::optional<std::string> description;
  std::string status;
  std::optional<std::string> dueText;  // the due date as the user or the server worded it
  std::optional<Date> dueAt;
  std::string creatorKind;
  Date createdAt;
  Date updatedAt;
  std::optional<Date> completedAt;

  bool operator==(const KestroTask&) const = default;
};

// One search hit: the item, the chunk that matched and how it scored.
struct SearchResult {
  KestroItem item;
  std::optional<UUID> chunkId;
  std::string excerpt;
  double score;
  std::map<std::string, double> scoreBreakdown;

  bool operator==(const SearchResult&) const = default;
};

// A conversation with the assistant, without its messages.
struct KestroConversation {
  UUID id;
  std::string title;
  std::map<std::string, JSONValue> scope;  // what the conversation may draw on, as the server says
  Date createdAt;
  Date updatedAt;

  bool operator==(const KestroConversation&) const = default;
};

// A source quoted by a chat message. Built by aggregate initialisation in field order:
// KestroCitation{id, itemId, chunkId, quote, sourceLocator, ordinal}.
struct KestroCitation {
  UUID id;
  UUID itemId;
  std::optional<UUID> chunkId;
  std::string quote;
  std::map<std::string, JSONValue> sourceLocator;
  std::int64_t ordinal;

  bool operator==(const KestroCitation&) const = default;
};

// One message of a conversation. Built by aggregate initialisation in field order:
// KestroChatMessage{id, role, status, content, sequence, createdAt, completedAt, citations}.
struct KestroChatMessage {
  UUID id;
  std::string role;
  std::string status;
  std::string content;
  std::int64_t sequence;
  Date createdAt;
  std::optional<Date> completedAt;  // absent while the reply is still being written
  std::vector<KestroCitation> citations;

  bool operator==(const KestroChatMessage&) const = default;
};

// A conversation together with its messages, in the server's order.
struct KestroConversationDetail {
  KestroConversation conversation;
  std::vector<KestroChatMessage> messages;

  bool operator==(const KestroConversationDetail&) const = default;
};

KESTRO_DECLARE_JSON_CODER(KestroItemRelationship);
KESTRO_DECLARE_JSON_CODER(KestroItem);
KESTRO_DECLARE_JSON_CODER(KestroTask);
KESTRO_DECLARE_JSON_CODER(SearchResult);
KESTRO_DECLARE_JSON_CODER(KestroConversation);
KESTRO_DECLARE_JSON_CODER(KestroCitation);
KESTRO_DECLARE_JSON_CODER(KestroChatMessage);
KESTRO_DECLARE_JSON_CODER(KestroConversationDetail);

}  // namespace kestro
