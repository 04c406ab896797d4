#include "KestroCore/Foundation/JSONDocument.h"

#include <simdjson.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "KestroCore/Foundation/JSONCoding.h"

namespace kestro {

namespace dom = simdjson::dom;

const std::size_t kJSONReadPadding = simdjson::SIMDJSON_PADDING;

// JSONElement keeps a dom::element in its opaque storage: the library's element is a pointer to
// the document and a position in it, trivially copyable.
static_assert(sizeof(dom::element) == sizeof(void*) * 2);
static_assert(std::is_trivially_copyable_v<dom::element>);

struct JSONElementAccess {
  static dom::element get(const JSONElement& element) noexcept {
    dom::element value;
    std::memcpy(static_cast<void*>(&value), element.storage_, sizeof value);
    return value;
  }
  static JSONElement make(const dom::element& value) noexcept {
    JSONElement element;
    std::memcpy(element.storage_, static_cast<const void*>(&value), sizeof value);
    return element;
  }

  // A cursor holds the array's iterator at the next element and its end.
  using Iterator = dom::array::iterator;
  static JSONElement::ElementCursor makeCursor(const Iterator& next, const Iterator& end) noexcept {
    JSONElement::ElementCursor cursor;
    std::memcpy(cursor.storage_, static_cast<const void*>(&next), sizeof next);
    std::memcpy(cursor.storage_ + sizeof next, static_cast<const void*>(&end), sizeof end);
    return cursor;
  }
  // An object's keys sit in the document's string buffer, away from the tape that says where:
  // in a large document each is a cache miss. Asked for while the element before is decoded,
  // they are at hand when the object's turn comes.
  static void prefetchKeys(const dom::element& value) noexcept {
    if (value.type() != dom::element_type::OBJECT) return;
    const dom::object object = value.get_object().value_unsafe();
    for (auto it = object.begin(); it != object.end(); ++it) __builtin_prefetch(it.key_c_str() - 4);
  }

  static bool step(JSONElement::ElementCursor& cursor, JSONElement& element) noexcept {
    Iterator next;
    Iterator end;
    std::memcpy(static_cast<void*>(&next), cursor.storage_, sizeof next);
    std::memcpy(static_cast<void*>(&end), cursor.storage_ + sizeof next, sizeof end);
    if (next == end) return false;
    element = make(*next);
    ++next;
    if (next != end) prefetchKeys(*next);
    std::memcpy(cursor.storage_, static_cast<const void*>(&next), sizeof next);
    return true;
  }
};

static_assert(sizeof(dom::array::iterator) * 2 <= sizeof(void*) * 4);
static_assert(std::is_trivially_copyable_v<dom::array::iterator>);

namespace {

dom::element unwrap(const JSONElement& element) noexcept { return JSONElementAccess::get(element); }

}  // namespace

JSONElement::Kind JSONElement::kind() const noexcept {
  switch (unwrap(*this).type()) {
    case dom::element_type::ARRAY:
      return Kind::array;
    case dom::element_type::OBJECT:
      return Kind::object;
    case dom::element_type::INT64:
      return Kind::integer;
    case dom::element_type::UINT64:
      return Kind::unsignedInteger;
    case dom::element_type::DOUBLE:
      return Kind::floating;
    case dom::element_type::STRING:
      return Kind::string;
    case dom::element_type::BOOL:
      return Kind::boolean;
    case dom::element_type::NULL_VALUE:
      break;
  }
  return Kind::null;
}

bool JSONElement::boolean() const noexcept { return unwrap(*this).get_bool().value_unsafe(); }

std::int64_t JSONElement::integer() const noexcept {
  return unwrap(*this).get_int64().value_unsafe();
}

std::uint64_t JSONElement::unsignedInteger() const noexcept {
  return unwrap(*this).get_uint64().value_unsafe();
}

double JSONElement::floating() const noexcept { return unwrap(*this).get_double().value_unsafe(); }

double JSONElement::number() const noexcept {
  switch (kind()) {
    case Kind::integer:
      return static_cast<double>(integer());
    case Kind::unsignedInteger:
      return static_cast<double>(unsignedInteger());
    default:
      return floating();
  }
}

std::string_view JSONElement::string() const noexcept {
  return unwrap(*this).get_string().value_unsafe();
}

std::vector<JSONElement> JSONElement::elements() const {
  const dom::array array = unwrap(*this).get_array().value_unsafe();
  std::vector<JSONElement> elements;
  elements.reserve(array.size());
  for (const dom::element element : array) elements.push_back(JSONElementAccess::make(element));
  return elements;
}

std::vector<JSONElement::Member> JSONElement::members() const {
  std::vector<Member> members(count());
  const std::size_t total = copyMembers(members.data(), members.size());
  // count() is only a lower bound for the largest objects.
  if (total > members.size()) {
    members.resize(total);
    copyMembers(members.data(), total);
  }
  return members;
}

JSONElement::ElementCursor JSONElement::walkElements() const noexcept {
  const dom::array array = unwrap(*this).get_array().value_unsafe();
  return JSONElementAccess::makeCursor(array.begin(), array.end());
}

bool JSONElement::ElementCursor::next(JSONElement& element) noexcept {
  return JSONElementAccess::step(*this, element);
}

std::size_t JSONElement::count() const noexcept {
  const dom::element value = unwrap(*this);
  if (value.type() == dom::element_type::ARRAY) return value.get_array().value_unsafe().size();
  return value.get_object().value_unsafe().size();
}

std::size_t JSONElement::copyMembers(Member* out, std::size_t capacity) const noexcept {
  const dom::object object = unwrap(*this).get_object().value_unsafe();
  std::size_t count = 0;
  for (auto it = object.begin(); it != object.end(); ++it, ++count) {
    if (count >= capacity) continue;
    // Field by field: a whole pair built first and copied over stalls the copy on its halves.
    Member* member = new (out + count) Member;
    member->key = it.key();
    const dom::element value = it.value();
    std::memcpy(member->value.storage_, static_cast<const void*>(&value), sizeof value);
  }
  return count;
}

namespace {

// The library's limit lets 511 levels through and 512 only when the innermost container is
// empty; deeper text is refused. What it refuses at 512 goes to parseJSON, which takes it: the
// document reader never passes a document deeper than the coders may read.
constexpr std::size_t kParserDepth = kMaximumJSONDepth;

// A thread keeps the parsers it read with for its next documents, so that reading does not
// allocate (and fault in) a parser's memory each time: up to four for documents of at most
// kSmallDocument (documents read while others are alive take one each), and one for a document
// of at most kKeptDocument, such as a long page of a list. That one holds some two to three
// times the largest text it has read resident until the thread ends. A larger document has a parser
// of its own, freed as soon as it has parsed (see JSONDocument::State), so one large body does not
// stay resident.
constexpr std::size_t kSmallDocument = std::size_t{64} << 10;
constexpr std::size_t kSmallParsers = 4;
constexpr std::size_t kKeptDocument = std::size_t{32} << 20;

struct IdleParsers {
  std::vector<std::unique_ptr<dom::parser>> small;
  std::unique_ptr<dom::parser> large;
  ~IdleParsers();
};

// Set once the thread's lists are destroyed at its exit: a document destroyed after them (one in
// a static or another thread-local object) frees its parser instead. A plain bool has no
// destructor, so it can still be read then.
thread_local bool idleParsersGone = false;
thread_local IdleParsers idleParsers;

IdleParsers::~IdleParsers() { idleParsersGone = true; }

std::unique_ptr<dom::parser> newParser() {
  auto parser = std::make_unique<dom::parser>();
  if (parser->allocate(simdjson::dom::MINIMAL_DOCUMENT_CAPACITY, kParserDepth) !=
      simdjson::SUCCESS) {
    throw std::bad_alloc();
  }
  return parser;
}

std::unique_ptr<dom::parser> takeParser(std::size_t size) {
  if (idleParsersGone) return newParser();
  auto& idle = idleParsers;
  if (size > kSmallDocument) return idle.large ? std::move(idle.large) : newParser();
  if (idle.small.empty()) return newParser();
  auto parser = std::move(idle.small.back());
  idle.small.pop_back();
  return parser;
}

// Called from a destructor: a parser that cannot be kept (no memory for the list) is freed.
void giveBack(std::unique_ptr<dom::parser> parser) noexcept {
  if (idleParsersGone) return;
  auto& idle = idleParsers;
  if (parser->capacity() > kSmallDocument) {
    if (parser->capacity() <= kKeptDocument && !idle.large) idle.large = std::move(parser);
    return;
  }
  if (idle.small.size() >= kSmallParsers) return;
  try {
    idle.small.push_back(std::move(parser));
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

struct JSONDocument::State {
  // The parser holding the document, or, for a document larger than kKeptDocument, the document
  // alone: its parser's scratch memory (the structural indexes, four bytes per structural
  // character, and any padded copy of the text) is freed before the coders build their values.
  std::unique_ptr<dom::parser> parser;
  dom::document document;
  dom::element root;

  ~State() { release(); }

  void release() noexcept {
    if (parser) giveBack(std::move(parser));
    document = dom::document();
  }

  // False for text this reader does not take, including text too large for the memory it
  // reserves (some thirteen bytes per byte of text): parseJSON then reads it or says why not.
  bool read(const char* data, std::size_t size, bool copy) {
    release();
    // An empty view may have no address at all, which the library would copy from.
    if (size == 0) return false;
    if (size > kKeptDocument) {
      const auto own = newParser();
      if (keep(own->parse_into_document(document, data, size, copy))) return true;
      release();
      return false;
    }
    parser = takeParser(size);
    if (keep(parser->parse(data, size, copy))) return true;
    // Text that does not parse goes to parseJSON, which needs memory of its own: a large parser
    // is not kept beside it.
    if (size > kSmallDocument) parser.reset();
    return false;
  }

  bool keep(const simdjson::simdjson_result<dom::element>& result) noexcept {
    if (result.error() != simdjson::SUCCESS) return false;
    root = result.value_unsafe();
    return true;
  }
};

JSONDocument::JSONDocument() noexcept = default;
JSONDocument::JSONDocument(JSONDocument&&) noexcept = default;
JSONDocument& JSONDocument::operator=(JSONDocument&&) noexcept = default;
JSONDocument::~JSONDocument() = default;

bool JSONDocument::read(std::string_view text) {
  if (!state_) state_ = std::make_unique<State>();
  return state_->read(text.data(), text.size(), true);
}

bool JSONDocument::read(const std::string& text) {
  if (!state_) state_ = std::make_unique<State>();
  return state_->read(text.data(), text.size(),
                      text.capacity() - text.size() < simdjson::SIMDJSON_PADDING);
}

JSONElement JSONDocument::root() const noexcept { return JSONElementAccess::make(state_->root); }

}  // namespace kestro
