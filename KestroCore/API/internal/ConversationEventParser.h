#pragma once

// The rules that turn the lines of a reply's event stream into events, apart from any thread or
// connection, so that they can be run over any sequence of lines.
//
// Each event is an "event: <name>" line followed by one "data: <JSON>" line:
//   - "event: " (one space) sets the pending name to the rest of the line, untrimmed, replacing
//     any earlier one;
//   - "data: " (one space) with a pending name decodes the rest of the line as one JSON value
//     and completes the event, which clears the name; without a pending name it is ignored;
//   - every other line (blank, a comment, "id:", "retry:", a field without the space) is
//     ignored and keeps the pending name. So a second data line of one event is dropped and a
//     blank line dispatches nothing.

#include <optional>
#include <string>
#include <string_view>

#include "KestroCore/API/ConversationEventStream.h"

namespace kestro {

class ConversationEventParser {
 public:
  // Applies one line (without its terminator) and returns the event it completes, if any.
  // Throws DecodingError when a data payload is not one JSON value.
  std::optional<ConversationEvent> consumeLine(std::string_view line);

  // Whether the event ends the reply: "message.completed" or "message.failed", exactly.
  static bool endsStream(const ConversationEvent& event) noexcept;

 private:
  std::optional<std::string> pendingName_;
};

}  // namespace kestro
