#pragma once

#include <string>

#include "KestroCore/Foundation/VariantError.h"
#include "KestroCore/Outbox/CaptureOutboxState.h"

namespace kestro {

// The cases of OutboxError; name them as OutboxError::InvalidTransition and so on.
namespace outboxerror {
// The record was in `current` and could not move to `requested`.
struct InvalidTransition {
  CaptureOutboxState current;
  CaptureOutboxState requested;
  bool operator==(const InvalidTransition&) const = default;
};
// The database could not be opened or prepared, or a statement failed. The message is the
// database library's own, or a fixed text where the library gave none.
struct Sqlite {
  std::string message;
  bool operator==(const Sqlite&) const = default;
};
// An operation named a record id that the store does not hold.
struct RecordMissing {
  bool operator==(const RecordMissing&) const = default;
};
}  // namespace outboxerror

// The error of the outbox: a refused state change, a database failure, or a record id that is
// not in the store. It carries data, not user-facing text (only the database's own message).
// Values compare by case and payload, are plain, and may cross threads.
// what() is "invalid outbox transition from queued to accepted", "SQLite error: <message>" or
// "outbox record missing": for logs and command lines, not for users.
class OutboxError : public VariantError<outboxerror::InvalidTransition, outboxerror::Sqlite,
                                        outboxerror::RecordMissing> {
 public:
  using InvalidTransition = outboxerror::InvalidTransition;
  using Sqlite = outboxerror::Sqlite;
  using RecordMissing = outboxerror::RecordMissing;

  static OutboxError invalidTransition(CaptureOutboxState current, CaptureOutboxState requested);
  static OutboxError sqlite(std::string message);
  static OutboxError recordMissing();

 private:
  explicit OutboxError(Case value);
};

}  // namespace kestro
