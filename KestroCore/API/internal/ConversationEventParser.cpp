#include "KestroCore/API/internal/ConversationEventParser.h"

#include <utility>

#include "KestroCore/Foundation/JSONCoding.h"

namespace kestro {

namespace {

constexpr std::string_view kEventField = "event: ";
constexpr std::string_view kDataField = "data: ";

}  // namespace

std::optional<ConversationEvent> ConversationEventParser::consumeLine(std::string_view line) {
  if (line.starts_with(kEventField)) {
    pendingName_.emplace(line.substr(kEventField.size()));
    return std::nullopt;
  }
  if (!line.starts_with(kDataField) || !pendingName_) return std::nullopt;
  // Decoded before the name is taken, so that a payload that is not JSON leaves nothing half
  // done; the stream ends with that error anyway.
  JSONValue data = decodeJSONString<JSONValue>(line.substr(kDataField.size()));
  ConversationEvent event{std::move(*pendingName_), std::move(data)};
  pendingName_.reset();
  return event;
}

bool ConversationEventParser::endsStream(const ConversationEvent& event) noexcept {
  return event.name == "message.completed" || event.name == "message.failed";
}

}  // namespace kestro
