#include "KestroCore/Foundation/Text.h"

#include <array>
#include <cstddef>

namespace kestro {
namespace {

// The UTF-8 encodings of the white space and line breaks that trimming removes. Each starts with
// a lead byte, so a match at either end of the text always falls on a character boundary.
constexpr std::array<std::string_view, 19> kMultiByteSpaces{
    "\xC2\x85",      // next line
    "\xC2\xA0",      // no-break space
    "\xE1\x9A\x80",  // ogham space mark
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A",  // en quad to hair space
    "\xE2\x80\xA8",  // line separator
    "\xE2\x80\xA9",  // paragraph separator
    "\xE2\x80\xAF",  // narrow no-break space
    "\xE2\x81\x9F",  // medium mathematical space
    "\xE3\x80\x80",  // ideographic space
};

bool isASCIISpace(char byte) noexcept { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

std::size_t leadingSpaceLength(std::string_view text) noexcept {
  if (text.empty()) return 0;
  if (isASCIISpace(text.front())) return 1;
  for (std::string_view space : kMultiByteSpaces) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

std::size_t trailingSpaceLength(std::string_view text) noexcept {
  if (text.empty()) return 0;
  if (isASCIISpace(text.back())) return 1;
  for (std::string_view space : kMultiByteSpaces) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

// The sequence that starts at `i`: whether it is well-formed, and where the next one starts.
// An ill-formed one ends after its maximal subpart (the longest prefix that could still have
// begun a well-formed sequence), which is what a repair replaces by one U+FFFD.
struct Sequence {
  bool valid;
  std::size_t end;
};

Sequence sequenceAt(std::string_view bytes, std::size_t i) noexcept {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  if (lead < 0x80) return {true, i + 1};
  // Sequence length and the range of the second byte (the first continuation byte is where
  // overlong forms, surrogates and values past U+10FFFF are told apart).
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3, low = 0xA0;
  } else if (lead == 0xED) {
    length = 3, high = 0x9F;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    length = 3;
  } else if (lead == 0xF0) {
    length = 4, low = 0x90;
  } else if (lead == 0xF4) {
    length = 4, high = 0x8F;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  }
  if (length == 0) return {false, i + 1};
  std::size_t end = i + 1;
  for (std::size_t k = 1; k < length; ++k, ++end) {
    if (end >= bytes.size()) return {false, end};
    const auto byte = static_cast<unsigned char>(bytes[end]);
    if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return {false, end};
  }
  return {true, end};
}

}  // namespace

std::string_view trimmingWhitespaceAndNewlines(std::string_view text) noexcept {
  while (const std::size_t length = leadingSpaceLength(text)) text.remove_prefix(length);
  while (const std::size_t length = trailingSpaceLength(text)) text.remove_suffix(length);
  return text;
}

bool isValidUTF8(std::string_view bytes) noexcept {
  for (std::size_t i = 0; i < bytes.size();) {
    const Sequence sequence = sequenceAt(bytes, i);
    if (!sequence.valid) return false;
    i = sequence.end;
  }
  return true;
}

std::string repairedUTF8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const Sequence sequence = sequenceAt(bytes, i);
    if (sequence.valid) {
      text.append(bytes.substr(i, sequence.end - i));
    } else {
      text.append(kReplacement);
    }
    i = sequence.end;
  }
  return text;
}

namespace {

// `text` repaired, with each control character that `kept` does not keep replaced by U+FFFD.
template <class Kept>
std::string withoutControls(std::string_view text, Kept kept) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  const std::string repaired = repairedUTF8(text);
  std::string printable;
  printable.reserve(repaired.size());
  for (std::size_t i = 0; i < repaired.size(); ++i) {
    const auto byte = static_cast<unsigned char>(repaired[i]);
    if ((byte < 0x20 && !kept(byte)) || byte == 0x7F) {
      printable += kReplacement;
    } else if (byte == 0xC2 && i + 1 < repaired.size() &&
               static_cast<unsigned char>(repaired[i + 1]) < 0xA0) {
      // U+0080 to U+009F: in valid UTF-8, 0xC2 followed by 0x80 to 0x9F.
      printable += kReplacement;
      ++i;
    } else {
      printable.push_back(repaired[i]);
    }
  }
  return printable;
}

// Where the character that `text` ends inside starts, or text.size() when it ends on a boundary.
// Only a lead byte still short of its continuation bytes counts; anything else is left to the
// repair.
std::size_t unfinishedCharacterStart(std::string_view text) noexcept {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? text.size() - back : text.size();
  }
  return text.size();
}

}  // namespace

std::string printableText(std::string_view text, bool keepingWhitespace) {
  return withoutControls(text, [keepingWhitespace](unsigned char byte) {
    return keepingWhitespace && byte >= '\t' && byte <= '\r';
  });
}

std::string printableLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return printableText(line);
}

std::string PrintableTextStream::append(std::string_view piece) {
  pending_.append(piece);
  const std::size_t end = unfinishedCharacterStart(pending_);
  std::string shown =
      withoutControls(std::string_view(pending_).substr(0, end),
                      [](unsigned char byte) { return byte == '\t' || byte == '\n'; });
  pending_.erase(0, end);
  return shown;
}

std::string PrintableTextStream::finish() {
  std::string rest = withoutControls(pending_, [](unsigned char) { return false; });
  pending_.clear();
  return rest;
}

std::size_t codePointCount(std::string_view text) noexcept {
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

std::string prefixOfCodePoints(std::string_view text, std::size_t maximum) {
  if (codePointCount(text) <= maximum) return std::string(text);
  if (maximum == 0) return {};
  std::size_t kept = 0;
  std::size_t end = 0;
  for (; end < text.size(); ++end) {
    const bool starts = (static_cast<unsigned char>(text[end]) & 0xC0) != 0x80;
    if (starts && kept++ == maximum - 1) break;
  }
  return std::string(text.substr(0, end)) + "…";
}

}  // namespace kestro
