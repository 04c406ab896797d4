#pragma once

// The fast reader behind decodeJSONString: parses text into a compact read-only document
// (simdjson's) and lets the coders walk it in place. Only JSONDocument.cpp sees the library;
// everything else holds JSONElement views.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// One value inside a JSONDocument: a small view, cheap to copy, valid while its document lives.
// The payload accessors may be called only for the matching kind.
class JSONElement {
 public:
  // Integers are `integer` when they fit an int64, `unsignedInteger` above that up to 2^64-1;
  // a number written with a fraction or an exponent is `floating`.
  enum class Kind { null, boolean, integer, unsignedInteger, floating, string, array, object };
  struct Member;

  Kind kind() const noexcept;
  bool isNull() const noexcept { return kind() == Kind::null; }

  bool boolean() const noexcept;
  std::int64_t integer() const noexcept;
  std::uint64_t unsignedInteger() const noexcept;
  double floating() const noexcept;
  // Any of the three number kinds as a double.
  double number() const noexcept;
  std::string_view string() const noexcept;
  // An array's elements, or an object's members in the order of the text, a repeated key
  // as often as it appears.
  std::vector<JSONElement> elements() const;
  std::vector<Member> members() const;

  // The same walks without collecting anything: an array's elements one at a time, and an
  // object's members into `out`, at most `capacity` of them. `count` is the number an array or
  // object holds; it is exact up to 16,777,215 and at least that many above, so it only sizes.
  class ElementCursor;
  ElementCursor walkElements() const noexcept;
  std::size_t count() const noexcept;
  // Returns how many members the object has; when that is more than `capacity`, only the first
  // `capacity` were written.
  std::size_t copyMembers(Member* out, std::size_t capacity) const noexcept;

 private:
  friend struct JSONElementAccess;
  alignas(void*) unsigned char storage_[2 * sizeof(void*)] = {};
};

struct JSONElement::Member {
  std::string_view key;
  JSONElement value;
};

// Steps through an array in the document, in the text's order.
class JSONElement::ElementCursor {
 public:
  // Sets `element` to the next element and returns true, or returns false past the last.
  bool next(JSONElement& element) noexcept;

 private:
  friend struct JSONElementAccess;
  alignas(void*) unsigned char storage_[4 * sizeof(void*)] = {};
};

// A parsed document. Reading refuses what is not one well-formed JSON value nested no deeper
// than kMaximumJSONDepth, and also what the full reader (parseJSON) takes but this one does not:
// integers beyond 64 bits, a leading byte order mark, and documents exactly that deep whose
// innermost value is not an empty array or object. Callers hand refused text to parseJSON, which
// names the fault or reads it. A thread keeps the parsers it has read with, so that reading page
// after page does not allocate each time: the parser of its largest document of up to 32 MiB
// stays with the thread, some two to three times that text's size; a larger document's parser
// is freed as soon as it has parsed.
class JSONDocument {
 public:
  JSONDocument() noexcept;
  JSONDocument(JSONDocument&&) noexcept;
  JSONDocument& operator=(JSONDocument&&) noexcept;
  ~JSONDocument();

  // Copies the text into the parser's padded buffer first.
  bool read(std::string_view text);
  // Reads the string in place when its spare capacity holds the parser's padding (see
  // kJSONReadPadding), which spares a copy of a large body.
  bool read(const std::string& text);

  // The root value; only after a successful read.
  JSONElement root() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// How many bytes past a string's end the parser reads: a string whose capacity() is at least
// size() plus this is read without a copy.
extern const std::size_t kJSONReadPadding;

}  // namespace kestro
