#include "KestroCore/Foundation/JSONCoding.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace kestro {
namespace {

std::string joinMessage(const std::string& codingPath, const std::string& reason) {
  return codingPath.empty() ? reason : codingPath + ": " + reason;
}

// A short description of what was found instead, for error messages. Long strings are cut so
// that a stray document does not end up whole in an error.
std::string describe(const JSON& json) {
  constexpr std::size_t kMaximumShown = 40;
  switch (json.type()) {
    case JSON::value_t::null:
      return "null";
    case JSON::value_t::string: {
      const auto& text = json.get_ref<const std::string&>();
      if (text.size() <= kMaximumShown) return "\"" + text + "\"";
      return "\"" + text.substr(0, kMaximumShown) + "...\"";
    }
    case JSON::value_t::boolean:
    case JSON::value_t::number_integer:
    case JSON::value_t::number_unsigned:
    case JSON::value_t::number_float:
      return std::string(json.type_name()) + " " +
             json.dump(-1, ' ', false, JSON::error_handler_t::replace);
    default:
      return std::string("an ") + json.type_name();
  }
}

// The same for a value of a parsed document, worded as the tree's description of it.
std::string describe(const JSONElement& json) {
  switch (json.kind()) {
    case JSONElement::Kind::null:
      return describe(JSON(nullptr));
    case JSONElement::Kind::boolean:
      return describe(JSON(json.boolean()));
    case JSONElement::Kind::integer:
      return describe(JSON(json.integer()));
    case JSONElement::Kind::unsignedInteger:
      return describe(JSON(json.unsignedInteger()));
    case JSONElement::Kind::floating:
      return describe(JSON(json.floating()));
    case JSONElement::Kind::string:
      return describe(JSON(std::string(json.string())));
    case JSONElement::Kind::array:
      return describe(JSON::array());
    case JSONElement::Kind::object:
      break;
  }
  return describe(JSON::object());
}

}  // namespace

std::string CodingPath::toString() const {
  // Collect the steps from the leaf up, then write them from the root down.
  std::vector<const CodingPath*> steps;
  for (const CodingPath* step = this; step != nullptr && step->parent_ != nullptr;
       step = step->parent_) {
    steps.push_back(step);
  }
  std::string text;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    const CodingPath& step = **it;
    if (step.indexPlusOne_ != 0) {
      text += "[" + std::to_string(step.indexPlusOne_ - 1) + "]";
    } else {
      if (!text.empty()) text += '.';
      text += step.key_;
    }
  }
  return text;
}

DecodingError::DecodingError(std::string codingPath, std::string reason)
    : codingPath_(std::move(codingPath)),
      reason_(std::move(reason)),
      message_(joinMessage(codingPath_, reason_)) {}

EncodingError::EncodingError(std::string codingPath, std::string reason)
    : codingPath_(std::move(codingPath)),
      reason_(std::move(reason)),
      message_(joinMessage(codingPath_, reason_)) {}

void throwDecodingError(const CodingPath& path, std::string reason) {
  throw DecodingError(path.toString(), std::move(reason));
}

void throwEncodingError(const CodingPath& path, std::string reason) {
  throw EncodingError(path.toString(), std::move(reason));
}

void throwTypeMismatch(const CodingPath& path, std::string_view expected, const JSON& found) {
  throwDecodingError(path, "expected " + std::string(expected) + ", found " + describe(found));
}

void throwTypeMismatch(const CodingPath& path, std::string_view expected,
                       const JSONElement& found) {
  throwDecodingError(path, "expected " + std::string(expected) + ", found " + describe(found));
}

JSON treeOf(const JSONElement& json) {
  switch (json.kind()) {
    case JSONElement::Kind::null:
      return nullptr;
    case JSONElement::Kind::boolean:
      return json.boolean();
    case JSONElement::Kind::integer: {
      // As parseJSON's tree holds them: a whole number without a sign is unsigned. (The fast
      // reader reads "-0" as 0, which the tree holds as a signed 0.)
      const std::int64_t value = json.integer();
      if (value >= 0) return static_cast<std::uint64_t>(value);
      return value;
    }
    case JSONElement::Kind::unsignedInteger:
      return json.unsignedInteger();
    case JSONElement::Kind::floating:
      return json.floating();
    case JSONElement::Kind::string:
      return std::string(json.string());
    case JSONElement::Kind::array: {
      JSON array = JSON::array();
      auto& elements = array.get_ref<JSON::array_t&>();
      elements.reserve(json.count());
      auto cursor = json.walkElements();
      for (JSONElement element; cursor.next(element);) elements.push_back(treeOf(element));
      return array;
    }
    case JSONElement::Kind::object: {
      // Assigned in the text's order, so a repeated key keeps its last value, as in a parsed tree.
      JSON object = JSON::object();
      auto& members = object.get_ref<JSON::object_t&>();
      for (const auto& member : json.members()) {
        members.insert_or_assign(std::string(member.key), treeOf(member.value));
      }
      return object;
    }
  }
  return nullptr;
}

namespace {

// Sorts members by key, keeping the one that comes last in the text of each repeated key, and
// returns how many are left at the front.
std::size_t sortKeepingLast(JSONElement::Member* members, std::size_t count) {
  using Member = JSONElement::Member;
  const auto before = [](const Member& a, const Member& b) { return a.key < b.key; };
  // Our own documents are written with their keys in order and come through untouched.
  if (std::adjacent_find(members, members + count, [](const Member& a, const Member& b) {
        return !(a.key < b.key);
      }) == members + count) {
    return count;
  }
  // Both sorts are stable, so repeated keys stay in the text's order; insertion sort takes no
  // memory, and small objects are all the sort sees in practice.
  if (count <= SortedMembers::kInlineMembers) {
    for (std::size_t i = 1; i < count; ++i) {
      const Member member = members[i];
      std::size_t j = i;
      for (; j > 0 && before(member, members[j - 1]); --j) members[j] = members[j - 1];
      members[j] = member;
    }
  } else {
    std::stable_sort(members, members + count, before);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (kept != 0 && members[kept - 1].key == members[i].key) {
      members[kept - 1] = members[i];
    } else {
      members[kept++] = members[i];
    }
  }
  return kept;
}

}  // namespace

std::vector<JSONElement::Member> objectMembers(const JSONElement& json, const CodingPath& path) {
  if (json.kind() != JSONElement::Kind::object) throwTypeMismatch(path, "an object", json);
  std::vector<JSONElement::Member> members = json.members();
  members.resize(sortKeepingLast(members.data(), members.size()));
  return members;
}

SortedMembers::SortedMembers(const JSONElement& json, const CodingPath& path) {
  if (json.kind() != JSONElement::Kind::object) throwTypeMismatch(path, "an object", json);
  auto* const members = reinterpret_cast<JSONElement::Member*>(inline_);
  count_ = json.copyMembers(members, kInlineMembers);
  if (count_ > kInlineMembers) {
    spilled_ = objectMembers(json, path);
    members_ = spilled_.data();
    count_ = spilled_.size();
  } else {
    count_ = sortKeepingLast(std::launder(members), count_);
    members_ = std::launder(members);
  }
}

namespace {
std::string nestedTooDeeply() {
  return "arrays and objects are nested deeper than " + std::to_string(kMaximumJSONDepth) +
         " levels";
}
}  // namespace

void checkDecodingDepth(const CodingPath& path) {
  if (path.depth() >= kMaximumJSONDepth) throwDecodingError(path, nestedTooDeeply());
}

void checkEncodingDepth(const CodingPath& path) {
  if (path.depth() >= kMaximumJSONDepth) throwEncodingError(path, nestedTooDeeply());
}

std::int64_t JSONCoder<std::int64_t>::decode(const JSON& json, const CodingPath& path) {
  switch (json.type()) {
    case JSON::value_t::number_integer:
      return json.get<std::int64_t>();
    case JSON::value_t::number_unsigned: {
      const auto value = json.get<std::uint64_t>();
      if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throwDecodingError(path, "integer " + std::to_string(value) + " is out of range");
      }
      return static_cast<std::int64_t>(value);
    }
    case JSON::value_t::number_float: {
      // 3.0 is a whole number and reads as 3; 3.5 is not narrowed. The bounds are exact
      // doubles: -2^63 fits, 2^63 does not.
      const double value = json.get<double>();
      if (std::trunc(value) != value || value < -9223372036854775808.0 ||
          value >= 9223372036854775808.0) {
        throwDecodingError(path, "expected an integer, found " + describe(json));
      }
      return static_cast<std::int64_t>(value);
    }
    default:
      throwTypeMismatch(path, "an integer", json);
  }
}

std::int64_t JSONCoder<std::int64_t>::decode(const JSONElement& json, const CodingPath& path) {
  switch (json.kind()) {
    case JSONElement::Kind::integer:
      return json.integer();
    case JSONElement::Kind::unsignedInteger:
      // The fast reader gives this kind only above the largest int64.
      throwDecodingError(path,
                         "integer " + std::to_string(json.unsignedInteger()) + " is out of range");
    case JSONElement::Kind::floating: {
      const double value = json.floating();
      if (std::trunc(value) != value || value < -9223372036854775808.0 ||
          value >= 9223372036854775808.0) {
        throwDecodingError(path, "expected an integer, found " + describe(json));
      }
      return static_cast<std::int64_t>(value);
    }
    default:
      throwTypeMismatch(path, "an integer", json);
  }
}

JSON JSONCoder<double>::encode(double value, const CodingPath& path) {
  if (!std::isfinite(value)) throwEncodingError(path, "a non-finite number cannot be written");
  return value;
}

double JSONCoder<double>::decode(const JSON& json, const CodingPath& path) {
  if (!json.is_number()) throwTypeMismatch(path, "a number", json);
  return json.get<double>();
}

double JSONCoder<double>::decode(const JSONElement& json, const CodingPath& path) {
  switch (json.kind()) {
    case JSONElement::Kind::integer:
    case JSONElement::Kind::unsignedInteger:
    case JSONElement::Kind::floating:
      return json.number();
    default:
      throwTypeMismatch(path, "a number", json);
  }
}

UUID JSONCoder<UUID>::decode(const JSONElement& json, const CodingPath& path) {
  if (json.kind() != JSONElement::Kind::string) throwTypeMismatch(path, "a UUID string", json);
  if (auto uuid = UUID::fromString(json.string())) return *uuid;
  throwDecodingError(path, "expected a UUID, found " + describe(json));
}

Date JSONCoder<Date>::decode(const JSONElement& json, const CodingPath& path) {
  if (json.kind() != JSONElement::Kind::string) throwTypeMismatch(path, "a date string", json);
  if (auto date = parseInternetDate(json.string())) return *date;
  throwDecodingError(path,
                     "expected an internet date-time in whole seconds, found " + describe(json));
}

URL JSONCoder<URL>::decode(const JSONElement& json, const CodingPath& path) {
  if (json.kind() != JSONElement::Kind::string) throwTypeMismatch(path, "a URL string", json);
  if (auto url = URL::fromString(json.string())) return *url;
  throwDecodingError(path, "expected an absolute URL, found " + describe(json));
}

UUID JSONCoder<UUID>::decode(const JSON& json, const CodingPath& path) {
  if (!json.is_string()) throwTypeMismatch(path, "a UUID string", json);
  if (auto uuid = UUID::fromString(json.get_ref<const std::string&>())) return *uuid;
  throwDecodingError(path, "expected a UUID, found " + describe(json));
}

Date JSONCoder<Date>::decode(const JSON& json, const CodingPath& path) {
  if (!json.is_string()) throwTypeMismatch(path, "a date string", json);
  if (auto date = parseInternetDate(json.get_ref<const std::string&>())) return *date;
  throwDecodingError(path,
                     "expected an internet date-time in whole seconds, found " + describe(json));
}

URL JSONCoder<URL>::decode(const JSON& json, const CodingPath& path) {
  if (!json.is_string()) throwTypeMismatch(path, "a URL string", json);
  if (auto url = URL::fromString(json.get_ref<const std::string&>())) return *url;
  throwDecodingError(path, "expected an absolute URL, found " + describe(json));
}

namespace {
const JSON::object_t& objectMembers(const JSON& json, const CodingPath& path) {
  if (!json.is_object()) throwTypeMismatch(path, "an object", json);
  return json.get_ref<const JSON::object_t&>();
}

template <class Word>
Word load(const char* at) noexcept {
  Word word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Whether two keys of the same length are equal. Keys are short: two loads of eight (or four)
// bytes that overlap in the middle compare one without a call to memcmp, and never read past
// either key's end.
bool sameKey(const char* a, const char* b, std::size_t size) noexcept {
  if (size < 4) {
    for (std::size_t i = 0; i < size; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  if (size >= 8 && size <= 16) {
    return load<std::uint64_t>(a) == load<std::uint64_t>(b) &&
           load<std::uint64_t>(a + size - 8) == load<std::uint64_t>(b + size - 8);
  }
  if (size < 8) {
    return load<std::uint32_t>(a) == load<std::uint32_t>(b) &&
           load<std::uint32_t>(a + size - 4) == load<std::uint32_t>(b + size - 4);
  }
  return std::memcmp(a, b, size) == 0;
}

}  // namespace

ObjectDecoder::ObjectDecoder(const JSONSource& json, const CodingPath& path) : path_(path) {
  if (const JSON* tree = json.tree()) {
    tree_ = &objectMembers(*tree, path);
  } else {
    // In the text's order: findMember looks from the end, so a repeated key reads as its last.
    const JSONElement& element = *json.element();
    if (element.kind() != JSONElement::Kind::object) throwTypeMismatch(path, "an object", element);
    memberCount_ = element.copyMembers(reinterpret_cast<Member*>(inline_), kInlineMembers);
    if (memberCount_ <= kInlineMembers) {
      members_ = std::launder(reinterpret_cast<Member*>(inline_));
    } else {
      spilled_ = element.members();
      members_ = spilled_.data();
    }
  }
}

const JSON* ObjectDecoder::find(std::string_view key) const {
  const auto it = tree_->find(key);
  return it == tree_->end() ? nullptr : &it->second;
}

const JSONElement* ObjectDecoder::findMember(std::string_view key) const {
  // From the end, so that a repeated key reads as its last. Objects have a few dozen members at
  // most, and keys rarely share a length and a first byte: a scan comparing those first beats
  // sorting the keys for a search.
  for (std::size_t i = memberCount_; i-- > 0;) {
    const Member& member = members_[i];
    if (member.key.size() == key.size() && (key.empty() || member.key.front() == key.front()) &&
        sameKey(member.key.data(), key.data(), key.size())) {
      return &member.value;
    }
  }
  return nullptr;
}

void ObjectDecoder::throwMissing(std::string_view key) const {
  throwDecodingError(path_.key(key), "required key is missing");
}

std::string serializeJSON(const JSON& json) {
  try {
    // nlohmann writes NaN as null; our coders refuse non-finite numbers before they get here.
    return json.dump();
  } catch (const JSON::type_error& error) {
    throw EncodingError("", std::string("text is not valid UTF-8: ") + error.what());
  }
}

namespace {

[[noreturn]] void throwNotJSON(const std::exception& error) {
  throw DecodingError("", std::string("the data is not valid JSON: ") + error.what());
}

// Builds the document from the parser's events, as the library's own builder does, and refuses
// the first array or object that would nest deeper than kMaximumJSONDepth. The parser itself
// keeps its nesting on the heap; only what walks the finished document recurses.
class DocumentBuilder {
 public:
  explicit DocumentBuilder(JSON& root) : root_(root) {}

  bool null() { return place(nullptr); }
  bool boolean(bool value) { return place(value); }
  bool number_integer(JSON::number_integer_t value) { return place(value); }
  bool number_unsigned(JSON::number_unsigned_t value) { return place(value); }
  bool number_float(JSON::number_float_t value, const JSON::string_t&) { return place(value); }
  bool string(JSON::string_t& value) { return place(std::move(value)); }
  bool binary(JSON::binary_t& value) { return place(JSON::binary(std::move(value))); }

  bool start_object(std::size_t) { return open(JSON(JSON::value_t::object)); }
  bool key(JSON::string_t& name) {
    auto& members = open_.back().container->get_ref<JSON::object_t&>();
    // A repeated key keeps its place and takes the later value, as the library's builder does.
    open_.back().member = members.try_emplace(std::move(name)).first;
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(JSON(JSON::value_t::array)); }
  bool end_array() { return close(); }

  // Syntax errors and numbers out of range alike.
  bool parse_error(std::size_t, const std::string&, const JSON::exception& error) {
    throwNotJSON(error);
  }

 private:
  struct Open {
    JSON* container;
    JSON::object_t::iterator member;  // the member being read, when the container is an object
  };

  // Puts a value where the document expects the next one and returns where it went.
  JSON* put(JSON&& value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Open& innermost = open_.back();
    if (innermost.container->is_array()) {
      auto& elements = innermost.container->get_ref<JSON::array_t&>();
      elements.push_back(std::move(value));
      return &elements.back();
    }
    innermost.member->second = std::move(value);
    return &innermost.member->second;
  }

  bool place(JSON&& value) {
    put(std::move(value));
    return true;
  }

  bool open(JSON&& container) {
    JSON* placed = put(std::move(container));
    if (open_.size() == kMaximumJSONDepth) refuseTooDeep();
    open_.push_back(Open{placed, {}});
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  // Names the container that went one level too deep: it is the latest value placed in each
  // open container, the last element of an array or the member being read of an object.
  void refuseTooDeep() const {
    std::vector<CodingPath> steps;
    steps.reserve(open_.size() + 1);  // no reallocation: each step points at the one before
    steps.emplace_back();
    for (const Open& level : open_) {
      if (level.container->is_array()) {
        steps.push_back(steps.back().index(level.container->size() - 1));
      } else {
        steps.push_back(steps.back().key(level.member->first));
      }
    }
    checkDecodingDepth(steps.back());  // throws: the path is kMaximumJSONDepth steps long
  }

  JSON& root_;
  std::vector<Open> open_;
};

}  // namespace

JSON parseJSON(std::string_view text) {
  JSON document;
  DocumentBuilder builder(document);
  try {
    JSON::sax_parse(text.begin(), text.end(), &builder);
  } catch (const JSON::exception& error) {
    // Whatever else the library may raise while reading is still text we cannot read.
    throwNotJSON(error);
  }
  return document;
}

namespace {

// Follows the parser's events without keeping any value, to find the fault in text the fast
// reader refused: the same parser as parseJSON's, so the same first fault and the same words,
// including the path of a container nested too deeply, which is all that is kept per level.
class Checker {
 public:
  bool null() { return value(); }
  bool boolean(bool) { return value(); }
  bool number_integer(JSON::number_integer_t) { return value(); }
  bool number_unsigned(JSON::number_unsigned_t) { return value(); }
  bool number_float(JSON::number_float_t, const JSON::string_t&) { return value(); }
  bool string(JSON::string_t&) { return value(); }
  bool binary(JSON::binary_t&) { return value(); }

  bool start_object(std::size_t) { return open(false); }
  bool key(JSON::string_t& name) {
    open_.back().key = std::move(name);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(true); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t, const std::string&, const JSON::exception& error) {
    throwNotJSON(error);
  }

 private:
  struct Open {
    bool isArray;
    std::size_t count = 0;  // elements so far, when an array
    std::string key = {};   // the member being read, when an object
  };

  bool value() {
    if (!open_.empty()) ++open_.back().count;
    return true;
  }

  bool open(bool isArray) {
    value();
    if (open_.size() == kMaximumJSONDepth) refuseTooDeep();
    open_.push_back(Open{isArray});
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  void refuseTooDeep() const {
    std::vector<CodingPath> steps;
    steps.reserve(open_.size() + 1);  // no reallocation: each step points at the one before
    steps.emplace_back();
    for (const Open& level : open_) {
      steps.push_back(level.isArray ? steps.back().index(level.count - 1)
                                    : steps.back().key(level.key));
    }
    checkDecodingDepth(steps.back());  // throws: the path is kMaximumJSONDepth steps long
  }

  std::vector<Open> open_;
};

}  // namespace

JSON parseJSONRefusedByDocument(std::string_view text) {
  Checker checker;
  try {
    JSON::sax_parse(text.begin(), text.end(), &checker);
  } catch (const JSON::exception& error) {
    throwNotJSON(error);
  }
  return parseJSON(text);
}

}  // namespace kestro
