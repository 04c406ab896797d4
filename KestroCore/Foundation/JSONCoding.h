#pragma once

// The one place that decides how values travel as JSON: required and optional fields, null,
// strict JSON kinds, enumerations by raw value, dates, UUIDs and URLs. Every model describes
// its fields through `ObjectEncoder` and `ObjectDecoder` and never touches these rules itself.
//
// Coders read either of two forms of a document: the nlohmann/json tree (`JSON`), for callers
// that hold one, or a JSONElement of a parsed JSONDocument, which is what decodeJSONString reads
// text into. Both follow the same rules and give the same values and the same errors.
//
// Reading is strict where nlohmann/json is lenient: a number is never narrowed (1.9 is not an
// integer), a string is never a number, and null is a value only where the type allows it.
// Writing refuses what JSON cannot say (a NaN) instead of writing null.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/JSONDocument.h"
#include "KestroCore/Foundation/RawValue.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"

namespace kestro {

using JSON = nlohmann::json;

// How deeply arrays and objects may nest in a document we read or write: `[[1]]` nests two
// levels. Every component that walks a document (our decoders, the JSON library's writer, its
// copy and comparison) recurses once per level, so a document from a hostile peer could
// otherwise exhaust the stack; no document of ours comes near this.
inline constexpr std::size_t kMaximumJSONDepth = 512;

// Where in a document a value sits ("capture.assets[0].role"). Paths are chains of stack
// objects, each pointing at its parent, and become text only when an error is reported, so
// decoding pays nothing for them on success. A path must not outlive its parent or its key.
class CodingPath {
 public:
  constexpr CodingPath() noexcept = default;

  CodingPath key(std::string_view name) const noexcept { return CodingPath(this, name, 0); }
  CodingPath index(std::size_t position) const noexcept {
    return CodingPath(this, {}, position + 1);
  }

  // "" for the root, then keys joined by "." and positions as "[n]".
  std::string toString() const;
  // The number of steps from the root: 0 for the root, 1 for "a" or "[0]", 2 for "a[0]".
  std::size_t depth() const noexcept { return depth_; }

 private:
  constexpr CodingPath(const CodingPath* parent, std::string_view key, std::size_t index) noexcept
      : parent_(parent), key_(key), indexPlusOne_(index), depth_(parent->depth_ + 1) {}

  const CodingPath* parent_ = nullptr;
  std::string_view key_;
  std::size_t indexPlusOne_ = 0;  // 0 when this step is a key
  std::size_t depth_ = 0;
};

// A document that does not have the expected shape. Names where and what was wrong.
class DecodingError : public std::exception {
 public:
  DecodingError(std::string codingPath, std::string reason);

  const std::string& codingPath() const noexcept { return codingPath_; }
  const std::string& reason() const noexcept { return reason_; }
  // "capture.origin.deviceId: expected a UUID, found \"abc\"".
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string codingPath_;
  std::string reason_;
  std::string message_;
};

// A value that JSON cannot represent (a non-finite number, text that is not UTF-8).
class EncodingError : public std::exception {
 public:
  EncodingError(std::string codingPath, std::string reason);

  const std::string& codingPath() const noexcept { return codingPath_; }
  const std::string& reason() const noexcept { return reason_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string codingPath_;
  std::string reason_;
  std::string message_;
};

[[noreturn]] void throwDecodingError(const CodingPath& path, std::string reason);
[[noreturn]] void throwEncodingError(const CodingPath& path, std::string reason);
// "expected a string, found number 3" and the like.
[[noreturn]] void throwTypeMismatch(const CodingPath& path, std::string_view expected,
                                    const JSON& found);
[[noreturn]] void throwTypeMismatch(const CodingPath& path, std::string_view expected,
                                    const JSONElement& found);

// An object's members as the coders see them: sorted by key, a repeated key keeping the value
// that comes last in the text, as the JSON library's tree keeps it. A DecodingError unless
// `json` is an object.
std::vector<JSONElement::Member> objectMembers(const JSONElement& json, const CodingPath& path);

// The same members, held inside for an object of up to 16 members (most are), so that reading
// one allocates nothing. Refers into the document; use it while reading the object.
class SortedMembers {
 public:
  SortedMembers(const JSONElement& json, const CodingPath& path);
  SortedMembers(const SortedMembers&) = delete;
  SortedMembers& operator=(const SortedMembers&) = delete;

  const JSONElement::Member* begin() const noexcept { return members_; }
  const JSONElement::Member* end() const noexcept { return members_ + count_; }

  static constexpr std::size_t kInlineMembers = 16;

 private:
  // Raw storage, which copyMembers fills: members_ points into it or into spilled_.
  alignas(JSONElement::Member) unsigned char inline_[kInlineMembers * sizeof(JSONElement::Member)];
  std::vector<JSONElement::Member> spilled_;
  const JSONElement::Member* members_ = nullptr;
  std::size_t count_ = 0;
};

// For the coders of recursive types, before each step down into an array or object at `path`:
// DecodingError or EncodingError when it would nest deeper than kMaximumJSONDepth. The path
// counts levels from the document's root, so a value written inside a document is never refused
// when the same document is read back.
void checkDecodingDepth(const CodingPath& path);
void checkEncodingDepth(const CodingPath& path);

// How one type is written and read. Specialised below for the built-in kinds and by every model
// (see KESTRO_DECLARE_JSON_CODER):
//   static JSON encode(const T& value, const CodingPath& path);          // throws EncodingError
//   static T decode(const JSON& json, const CodingPath& path);           // throws DecodingError
//   static T decode(const JSONElement& json, const CodingPath& path);    // the same rules
template <class T, class Enable = void>
struct JSONCoder;

// The tree of an element, for coders that read only trees.
JSON treeOf(const JSONElement& json);

// Decodes with T's coder. A coder with only the tree's `decode`, as coders written for earlier
// versions of this header have, is handed the element's tree.
template <class T>
T decodeWithCoder(const JSON& json, const CodingPath& path) {
  return JSONCoder<T>::decode(json, path);
}
template <class T>
T decodeWithCoder(const JSONElement& json, const CodingPath& path) {
  if constexpr (requires { JSONCoder<T>::decode(json, path); }) {
    return JSONCoder<T>::decode(json, path);
  } else {
    return JSONCoder<T>::decode(treeOf(json), path);
  }
}

template <>
struct JSONCoder<std::string> {
  static JSON encode(const std::string& value, const CodingPath&) { return value; }
  static std::string decode(const JSON& json, const CodingPath& path) {
    if (!json.is_string()) throwTypeMismatch(path, "a string", json);
    return json.get_ref<const std::string&>();
  }
  static std::string decode(const JSONElement& json, const CodingPath& path) {
    if (json.kind() != JSONElement::Kind::string) throwTypeMismatch(path, "a string", json);
    return std::string(json.string());
  }
};

template <>
struct JSONCoder<bool> {
  static JSON encode(bool value, const CodingPath&) { return value; }
  static bool decode(const JSON& json, const CodingPath& path) {
    if (!json.is_boolean()) throwTypeMismatch(path, "a boolean", json);
    return json.get<bool>();
  }
  static bool decode(const JSONElement& json, const CodingPath& path) {
    if (json.kind() != JSONElement::Kind::boolean) throwTypeMismatch(path, "a boolean", json);
    return json.boolean();
  }
};

// Integers: any JSON number whose value is a whole number within range; 1.5 or 2^63 is refused
// rather than rounded or wrapped.
template <>
struct JSONCoder<std::int64_t> {
  static JSON encode(std::int64_t value, const CodingPath&) { return value; }
  static std::int64_t decode(const JSON& json, const CodingPath& path);
  static std::int64_t decode(const JSONElement& json, const CodingPath& path);
};

// Floating-point numbers: any JSON number. Writing a NaN or an infinity is an EncodingError.
template <>
struct JSONCoder<double> {
  static JSON encode(double value, const CodingPath& path);
  static double decode(const JSON& json, const CodingPath& path);
  static double decode(const JSONElement& json, const CodingPath& path);
};

template <>
struct JSONCoder<UUID> {
  static JSON encode(const UUID& value, const CodingPath&) { return value.uuidString(); }
  static UUID decode(const JSON& json, const CodingPath& path);
  static UUID decode(const JSONElement& json, const CodingPath& path);
};

// Dates as internet date-times in UTC with whole seconds ("2025-03-04T05:06:07Z").
template <>
struct JSONCoder<Date> {
  static JSON encode(Date value, const CodingPath&) { return formatInternetDate(value); }
  static Date decode(const JSON& json, const CodingPath& path);
  static Date decode(const JSONElement& json, const CodingPath& path);
};

template <>
struct JSONCoder<URL> {
  static JSON encode(const URL& value, const CodingPath&) { return value.absoluteString(); }
  static URL decode(const JSON& json, const CodingPath& path);
  static URL decode(const JSONElement& json, const CodingPath& path);
};

template <RawValueEnum E>
struct JSONCoder<E> {
  static JSON encode(E value, const CodingPath&) { return std::string(rawValue(value)); }
  static E decode(const JSON& json, const CodingPath& path) {
    if (!json.is_string()) throwTypeMismatch(path, "a string", json);
    const auto& text = json.get_ref<const std::string&>();
    if (auto value = fromRawValue<E>(text)) return *value;
    throwDecodingError(path, "\"" + text + "\" is not a " + std::string(RawValues<E>::typeName));
  }
  static E decode(const JSONElement& json, const CodingPath& path) {
    if (json.kind() != JSONElement::Kind::string) throwTypeMismatch(path, "a string", json);
    const std::string_view text = json.string();
    if (auto value = fromRawValue<E>(text)) return *value;
    throwDecodingError(
        path, "\"" + std::string(text) + "\" is not a " + std::string(RawValues<E>::typeName));
  }
};

template <class T>
struct JSONCoder<std::vector<T>> {
  static JSON encode(const std::vector<T>& values, const CodingPath& path) {
    JSON array = JSON::array();
    auto& elements = array.get_ref<JSON::array_t&>();
    elements.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      elements.push_back(JSONCoder<T>::encode(values[i], path.index(i)));
    }
    return array;
  }
  static std::vector<T> decode(const JSON& json, const CodingPath& path) {
    if (!json.is_array()) throwTypeMismatch(path, "an array", json);
    const auto& elements = json.get_ref<const JSON::array_t&>();
    std::vector<T> values;
    values.reserve(elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i) {
      values.push_back(JSONCoder<T>::decode(elements[i], path.index(i)));
    }
    return values;
  }
  static std::vector<T> decode(const JSONElement& json, const CodingPath& path) {
    if (json.kind() != JSONElement::Kind::array) throwTypeMismatch(path, "an array", json);
    std::vector<T> values;
    values.reserve(json.count());
    auto cursor = json.walkElements();
    for (JSONElement element; cursor.next(element);) {
      values.push_back(decodeWithCoder<T>(element, path.index(values.size())));
    }
    return values;
  }
};

// Maps from text keys: JSON objects; an empty object is a valid, empty map.
template <class T>
struct JSONCoder<std::map<std::string, T>> {
  static JSON encode(const std::map<std::string, T>& values, const CodingPath& path) {
    JSON object = JSON::object();
    auto& members = object.get_ref<JSON::object_t&>();
    for (const auto& [key, value] : values) {
      members.emplace(key, JSONCoder<T>::encode(value, path.key(key)));
    }
    return object;
  }
  static std::map<std::string, T> decode(const JSON& json, const CodingPath& path) {
    if (!json.is_object()) throwTypeMismatch(path, "an object", json);
    std::map<std::string, T> values;
    for (const auto& [key, value] : json.get_ref<const JSON::object_t&>()) {
      values.emplace_hint(values.end(), key, JSONCoder<T>::decode(value, path.key(key)));
    }
    return values;
  }
  static std::map<std::string, T> decode(const JSONElement& json, const CodingPath& path) {
    std::map<std::string, T> values;
    for (const auto& member : SortedMembers(json, path)) {
      values.emplace_hint(values.end(), member.key,
                          decodeWithCoder<T>(member.value, path.key(member.key)));
    }
    return values;
  }
};

// A value to decode in either form: what the coders of models take, so that one body reads both.
// Refers to the value; use it only as a parameter.
class JSONSource {
 public:
  JSONSource(const JSON& json) noexcept : tree_(&json) {}           // NOLINT: converts by design
  JSONSource(const JSONElement& json) noexcept : element_(json) {}  // NOLINT

  // Exactly one of the two is set.
  const JSON* tree() const noexcept { return tree_; }
  const JSONElement* element() const noexcept { return tree_ == nullptr ? &element_ : nullptr; }

 private:
  const JSON* tree_ = nullptr;
  JSONElement element_;
};

// Reads the fields of one JSON object. Keys that are not asked for are ignored.
class ObjectDecoder {
 public:
  // Throws DecodingError unless `json` is an object. Keeps references to both arguments.
  ObjectDecoder(const JSONSource& json, const CodingPath& path);
  // Temporaries would dangle once the statement ends: `ObjectDecoder(body, CodingPath{})`.
  ObjectDecoder(const JSON&&, const CodingPath&) = delete;
  ObjectDecoder(const JSONSource&, const CodingPath&&) = delete;
  ObjectDecoder(const JSON&&, const CodingPath&&) = delete;
  // It may point into itself (see members_).
  ObjectDecoder(const ObjectDecoder&) = delete;
  ObjectDecoder& operator=(const ObjectDecoder&) = delete;

  // A key that must be present. Missing is an error; a null is handed to T's coder, which
  // refuses it unless null is a value of T.
  template <class T>
  T required(std::string_view key) const {
    if (tree_ != nullptr) {
      const JSON* value = find(key);
      if (value == nullptr) throwMissing(key);
      return JSONCoder<T>::decode(*value, path_.key(key));
    }
    const JSONElement* value = findMember(key);
    if (value == nullptr) throwMissing(key);
    return decodeWithCoder<T>(*value, path_.key(key));
  }

  // A key that may be missing; a null reads as missing too.
  template <class T>
  std::optional<T> optional(std::string_view key) const {
    if (tree_ != nullptr) {
      const JSON* value = find(key);
      if (value == nullptr || value->is_null()) return std::nullopt;
      return JSONCoder<T>::decode(*value, path_.key(key));
    }
    const JSONElement* value = findMember(key);
    if (value == nullptr || value->isNull()) return std::nullopt;
    return decodeWithCoder<T>(*value, path_.key(key));
  }

  const CodingPath& path() const noexcept { return path_; }

 private:
  const JSON* find(std::string_view key) const;
  const JSONElement* findMember(std::string_view key) const;
  [[noreturn]] void throwMissing(std::string_view key) const;

  // Members of a document's object are copied here when they fit (most objects do), so that
  // reading one costs no allocation; larger objects spill into a vector.
  static constexpr std::size_t kInlineMembers = 16;
  using Member = JSONElement::Member;

  const JSON::object_t* tree_ = nullptr;  // when reading a tree
  // Otherwise the object's members in the text's order: memberCount_ of them at members_,
  // which points into inline_ or spilled_.
  const Member* members_ = nullptr;
  std::size_t memberCount_ = 0;
  alignas(Member) unsigned char inline_[kInlineMembers * sizeof(Member)];
  std::vector<Member> spilled_;
  const CodingPath& path_;
};

// Writes the fields of one JSON object. Keys come out sorted whatever the call order.
class ObjectEncoder {
 public:
  explicit ObjectEncoder(const CodingPath& path) : path_(path) {}
  explicit ObjectEncoder(const CodingPath&&) = delete;

  template <class T>
  ObjectEncoder& required(std::string_view key, const T& value) {
    members_.insert_or_assign(std::string(key), JSONCoder<T>::encode(value, path_.key(key)));
    return *this;
  }

  // An absent value is left out entirely, never written as null.
  template <class T>
  ObjectEncoder& optional(std::string_view key, const std::optional<T>& value) {
    if (value) required(key, *value);
    return *this;
  }

  JSON finish() && { return JSON(std::move(members_)); }

 private:
  JSON::object_t members_;
  const CodingPath& path_;
};

// Declares the coder of a model type; the model's .cpp defines the two functions. `decode`
// reads through ObjectDecoder, which takes the JSONSource as it is.
#define KESTRO_DECLARE_JSON_CODER(Type)                                 \
  template <>                                                           \
  struct JSONCoder<Type> {                                              \
    static JSON encode(const Type& value, const CodingPath& path);      \
    static Type decode(const JSONSource& json, const CodingPath& path); \
  }

// The entry points.

template <class T>
JSON encodeJSON(const T& value) {
  return JSONCoder<T>::encode(value, CodingPath{});
}

template <class T>
T decodeJSON(const JSON& json) {
  return JSONCoder<T>::decode(json, CodingPath{});
}

// Compact text with object keys in ascending order. Throws EncodingError for a value JSON cannot
// represent, including a string that is not valid UTF-8.
std::string serializeJSON(const JSON& json);

// Parses text that must hold exactly one JSON value. Every failure is a DecodingError, so
// callers have one error to handle: text that is not JSON at all, invalid UTF-8 in a string or
// a number beyond the range of a double fails at the root path; arrays and objects nested
// deeper than kMaximumJSONDepth fail at the path of the first one too deep, before the rest of
// the text is read.
JSON parseJSON(std::string_view text);

template <class T>
std::string encodeJSONString(const T& value) {
  return serializeJSON(encodeJSON(value));
}

// The fallback of the fast reader: what JSONDocument refuses comes here, to be refused with the
// words and path parseJSON has always given, or read by it (the few documents only it takes).
// The text is checked before any tree is built, so a broken large body costs no more memory
// than a good one.
JSON parseJSONRefusedByDocument(std::string_view text);

// Parses text (a std::string_view or a const char*, or a std::string read in place when it has
// kJSONReadPadding bytes of spare capacity) and hands its root to `read`, which takes `const
// auto&`: a JSONElement, or the JSON tree for the text only parseJSON reads. Every failure to parse
// is a DecodingError, as parseJSON's.
template <class Text, class Read>
auto readJSONString(const Text& text, Read&& read) {
  {
    JSONDocument document;
    bool parsed = false;
    if constexpr (std::is_same_v<Text, std::string>) {
      parsed = document.read(text);
    } else {
      parsed = document.read(std::string_view(text));
    }
    if (parsed) return read(document.root());
  }
  // The refused document's parser is freed first: for a large body it would otherwise stay
  // beside the tree parseJSON builds.
  const JSON json = parseJSONRefusedByDocument(text);
  return read(json);
}

// The same for a string given up by the caller: once parsed, it is freed before `read` builds
// the values, so a large body and its values are never resident together.
template <class Read>
auto readJSONString(std::string&& text, Read&& read) {
  {
    JSONDocument document;
    if (document.read(std::as_const(text))) {
      std::string().swap(text);
      return read(document.root());
    }
  }
  const JSON json = parseJSONRefusedByDocument(text);
  std::string().swap(text);
  return read(json);
}

// Text as a std::string_view, a const char*, or a std::string (freed early when moved in, as
// readJSONString above).
template <class T>
T decodeJSONString(std::string_view text) {
  return readJSONString(text,
                        [](const auto& json) { return decodeWithCoder<T>(json, CodingPath{}); });
}

template <class T, class Text>
requires std::same_as<std::remove_cvref_t<Text>, std::string> T decodeJSONString(Text&& text) {
  return readJSONString(std::forward<Text>(text),
                        [](const auto& json) { return decodeWithCoder<T>(json, CodingPath{}); });
}

template <class T>
T decodeJSONString(const char* text) {
  return decodeJSONString<T>(std::string_view(text));
}

}  // namespace kestro
