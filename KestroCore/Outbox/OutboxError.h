#pragma once

#include <exception>
#include <string>
#include <variant>

#include "KestroCore/Outbox/CaptureOutboxState.h"

namespace kestro {

// The error of the outbox: a refused state change, a database failure, or a record id that is
// not in the store. It carries data, not user-facing text (only the database's own message).
// Values compare by case and payload, are plain, and may cross threads.
class OutboxError : public std::exception {
 public:
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

  using Case = std::variant<InvalidTransition, Sqlite, RecordMissing>;

  static OutboxError invalidTransition(CaptureOutboxState current, CaptureOutboxState requested);
  static OutboxError sqlite(std::string message);
  static OutboxError recordMissing();

  const Case& value() const noexcept { return case_; }
  // The case's payload, or null when the error is of another case.
  template <class C>
  const C* as() const noexcept {
    return std::get_if<C>(&case_);
  }

  // "invalid outbox transition from queued to accepted", "SQLite error: <message>",
  // "outbox record missing": for logs and command lines, not for users.
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const OutboxError& other) const noexcept { return case_ == other.case_; }

 private:
  explicit OutboxError(Case value);

  Case case_;
  std::string description_;
};

}  // namespace kestro
