#pragma once

#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "KestroCore/Foundation/JSONCoding.h"

namespace kestro {

// Any JSON value whose shape the client does not model: item metadata, error details, event
// data, sync entities. Converts to and from JSON without losing structure and compares by value:
// numbers numerically (0 equals -0, a NaN equals nothing, not even itself), objects as maps,
// arrays element by element, and values of different cases never. Every number is a double, so
// integers beyond 2^53 lose precision on the way in. A plain value, safe to share between threads.
class JSONValue {
 public:
  using Object = std::map<std::string, JSONValue>;
  using Array = std::vector<JSONValue>;
  struct Null {
    bool operator==(const Null&) const = default;
  };
  // The six cases, in this order.
  enum class Kind { string, number, boolean, object, array, null };
  using Storage = std::variant<std::string, double, bool, Object, Array, Null>;

  JSONValue() : storage_(Null{}) {}

  static JSONValue string(std::string value) {
    return JSONValue(std::in_place_type<std::string>, std::move(value));
  }
  static JSONValue number(double value) { return JSONValue(std::in_place_type<double>, value); }
  static JSONValue boolean(bool value) { return JSONValue(std::in_place_type<bool>, value); }
  static JSONValue object(Object members) {
    return JSONValue(std::in_place_type<Object>, std::move(members));
  }
  static JSONValue array(Array elements) {
    return JSONValue(std::in_place_type<Array>, std::move(elements));
  }
  static JSONValue null() { return JSONValue(); }

  Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
  const Storage& storage() const noexcept { return storage_; }

  // The payload when the value is of that case, null otherwise.
  const std::string* ifString() const noexcept { return std::get_if<std::string>(&storage_); }
  const double* ifNumber() const noexcept { return std::get_if<double>(&storage_); }
  const bool* ifBoolean() const noexcept { return std::get_if<bool>(&storage_); }
  const Object* ifObject() const noexcept { return std::get_if<Object>(&storage_); }
  const Array* ifArray() const noexcept { return std::get_if<Array>(&storage_); }
  bool isNull() const noexcept { return std::holds_alternative<Null>(storage_); }

  bool operator==(const JSONValue& other) const { return storage_ == other.storage_; }

 private:
  template <class T, class Payload>
  JSONValue(std::in_place_type_t<T> type, Payload&& payload)
      : storage_(type, std::forward<Payload>(payload)) {}

  Storage storage_;
};

// Every well-formed JSON value decodes whose arrays and objects nest no deeper than
// kMaximumJSONDepth, counted from the document's root; a deeper one is a DecodingError at the
// path of the first array or object too deep. Encoding fails with EncodingError for a NaN or an
// infinity, rather than writing null, and for nesting that deep: a value built in code may nest
// deeper, but is not written where it could not be read back.
KESTRO_DECLARE_JSON_CODER(JSONValue);

}  // namespace kestro
