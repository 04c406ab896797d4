#include "KestroCore/Outbox/OutboxError.h"

#include <utility>

namespace kestro {
namespace {

std::string describe(const OutboxError::Case& value) {
  if (const auto* transition = std::get_if<OutboxError::InvalidTransition>(&value)) {
    return "invalid outbox transition from " + std::string(rawValue(transition->current)) + " to " +
           std::string(rawValue(transition->requested));
  }
  if (const auto* sqlite = std::get_if<OutboxError::Sqlite>(&value)) {
    return "SQLite error: " + sqlite->message;
  }
  return "outbox record missing";
}

}  // namespace

OutboxError::OutboxError(Case value) : VariantError(std::move(value), describe) {}

OutboxError OutboxError::invalidTransition(CaptureOutboxState current,
                                           CaptureOutboxState requested) {
  return OutboxError(InvalidTransition{current, requested});
}

OutboxError OutboxError::sqlite(std::string message) {
  return OutboxError(Sqlite{std::move(message)});
}

OutboxError OutboxError::recordMissing() { return OutboxError(RecordMissing{}); }

}  // namespace kestro
