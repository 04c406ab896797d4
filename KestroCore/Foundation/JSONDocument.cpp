#include "KestroCore/Foundation/JSONDocument.h"

#include <simdjson.h>
#include <sys/mman.h>
#include <unistd.h>

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
  static bool step(JSONElement::ElementCursor& cursor, JSONElement& element) noexcept {
    Iterator next;
    Iterator end;
    std::memcpy(static_cast<void*>(&next), cursor.storage_, sizeof next);
    std::memcpy(static_cast<void*>(&end), cursor.storage_ + sizeof next, sizeof end);
    if (next == end) return false;
    element = make(*next);
    ++next;
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
  const dom::object object = unwrap(*this).get_object().value_unsafe();
  std::vector<Member> members;
  members.reserve(object.size());
  for (const dom::key_value_pair member : object) {
    members.push_back(Member{member.key, JSONElementAccess::make(member.value)});
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
  for (const dom::key_value_pair member : object) {
    if (count < capacity)
      new (out + count) Member{member.key, JSONElementAccess::make(member.value)};
    ++count;
  }
  return count;
}

namespace {

// Parsers that read documents up to this size are kept for the thread's next document; larger
// ones are freed with their document, so one large body does not stay resident.
constexpr std::size_t kReusedCapacity = std::size_t{64} << 10;
constexpr std::size_t kReusedParsers = 4;

// The library's limit lets 511 levels through and 512 only when the innermost container is
// empty; deeper text is refused. What it refuses at 512 goes to parseJSON, which takes it: the
// document reader never passes a document deeper than the coders may read.
constexpr std::size_t kParserDepth = kMaximumJSONDepth;

thread_local std::vector<std::unique_ptr<dom::parser>> idleParsers;

std::unique_ptr<dom::parser> takeParser() {
  if (!idleParsers.empty()) {
    auto parser = std::move(idleParsers.back());
    idleParsers.pop_back();
    return parser;
  }
  auto parser = std::make_unique<dom::parser>();
  if (parser->allocate(simdjson::dom::MINIMAL_DOCUMENT_CAPACITY, kParserDepth) !=
      simdjson::SUCCESS) {
    throw std::bad_alloc();
  }
  return parser;
}

// Called from a destructor: a parser that cannot be kept (no memory for the list) is freed.
void giveBack(std::unique_ptr<dom::parser> parser) noexcept {
  if (parser->capacity() > kReusedCapacity || idleParsers.size() >= kReusedParsers) return;
  try {
    idleParsers.push_back(std::move(parser));
  } catch (const std::bad_alloc&) {
  }
}

// A document at least this large has a parser of its own (see kReusedCapacity), which is trimmed
// after parsing, below.
constexpr std::size_t kLargeDocument = std::size_t{1} << 20;

// Applies `advice` to the whole pages inside [data, data + size).
void advise(const void* data, std::size_t size, int advice) noexcept {
  static const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + pageSize - 1) & ~(pageSize - 1);
  const std::uintptr_t last = (start + size) & ~(pageSize - 1);
  // Only ever a hint: a refusal leaves the memory as it was.
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, advice);
}

// The structural indexes (four bytes per structural character, at least one per byte of
// capacity) serve only the parse itself; the document reads the tape and the strings. Handing
// their pages back before the coders build their values lowers the peak. A next parse writes
// them afresh, so the parser stays usable.
void releaseStructuralIndexes(dom::parser& parser, std::size_t size) noexcept {
  // A parser that could not grow to the text (out of memory) still has its smaller buffer:
  // then there is nothing of this size to release.
  if (parser.capacity() < size || !parser.implementation) return;
  advise(parser.implementation->structural_indexes.get(), size * sizeof(std::uint32_t),
         MADV_DONTNEED);
}

}  // namespace

struct JSONDocument::State {
  std::unique_ptr<dom::parser> parser = takeParser();
  dom::element root;

  ~State() { giveBack(std::move(parser)); }

  // False for text this reader does not take, including text too large for the memory it
  // reserves (some thirteen bytes per byte of text): parseJSON then reads it or says why not.
  bool read(const char* data, std::size_t size, bool copy) {
    // An empty view may have no address at all, which the library would copy from.
    if (size == 0) return false;
    const auto result = parser->parse(data, size, copy);
    if (size >= kLargeDocument) releaseStructuralIndexes(*parser, size);
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
