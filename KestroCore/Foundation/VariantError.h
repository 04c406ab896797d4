#pragma once

#include <concepts>
#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace kestro {

// The skeleton of an error that is one of a few cases, each a plain struct with its payload:
// the case itself, typed access to it, and a description made once, when the error is made, for
// what(). An error type derives from it, names its cases and gives the description:
//
//   class OutboxError : public VariantError<InvalidTransition, Sqlite, RecordMissing> {
//     explicit OutboxError(Case value) : VariantError(std::move(value), describe) {}
//   };
//
// Errors whose cases all compare compare by case and payload. Values are plain and may cross
// threads.
template <class... Cases>
class VariantError : public std::exception {
 public:
  using Case = std::variant<Cases...>;

  const Case& value() const noexcept { return case_; }

  // The case's payload, or null when the error is of another case.
  template <class C>
  const C* as() const noexcept {
    return std::get_if<C>(&case_);
  }

  // Whether the error is of case C.
  template <class C>
  bool is() const noexcept {
    return std::holds_alternative<C>(case_);
  }

  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const VariantError& other) const noexcept
      requires(std::equality_comparable<Cases>&&...) {
    return case_ == other.case_;
  }

 protected:
  // `describe` is called with the stored case once: what() returns what it made.
  template <class Describe>
  requires std::invocable<Describe, const Case&> VariantError(Case value, Describe describe)
      : case_(std::move(value)), description_(describe(case_)) {}

 private:
  Case case_;
  std::string description_;
};

}  // namespace kestro
