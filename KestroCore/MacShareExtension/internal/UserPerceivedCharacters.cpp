#include "KestroCore/MacShareExtension/internal/UserPerceivedCharacters.h"

#include <glib.h>

#include "KestroCore/Foundation/DynamicLibrary.h"

namespace kestro::share {
namespace {

// GLib's Unicode tables, from libglib loaded the first time a text is long enough to need
// cutting: linking GLib would cost every share's start-up more than a short note ever needs.
struct GLibUnicode {
  decltype(&g_unichar_type) type;
  decltype(&g_utf8_get_char_validated) decodeValidated;
};

GLibUnicode loadGLibUnicode() {
  const DynamicLibrary library("libglib-2.0.so.0");
  GLibUnicode functions{};
  library.resolve("g_unichar_type", functions.type);
  library.resolve("g_utf8_get_char_validated", functions.decodeValidated);
  return functions;
}

const GLibUnicode& glibUnicode() {
  // A failed load throws out of the initialiser, which leaves it to be tried again next time.
  static const GLibUnicode loaded = loadGLibUnicode();
  return loaded;
}

// The length of the valid UTF-8 sequence that starts with `lead`.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Grapheme cluster break classes, as far as the rules below need them.
enum class Break {
  other,
  cr,
  lf,
  control,
  extend,
  zwj,
  regionalIndicator,
  spacingMark,
  l,
  v,
  t,
  lv,
  lvt,
  pictographic,
  invalid
};

constexpr gunichar kHangulSyllableBase = 0xAC00;
constexpr gunichar kHangulSyllableCount = 11172;
constexpr gunichar kHangulTrailingCount = 28;

bool isPictographic(gunichar c) {
  if ((c >= 0x1F000 && c <= 0x1FAFF) || (c >= 0x2600 && c <= 0x27BF)) return true;
  return glibUnicode().type(c) == G_UNICODE_OTHER_SYMBOL;
}

Break classify(gunichar c) {
  if (c == '\r') return Break::cr;
  if (c == '\n') return Break::lf;
  if (c == 0x200D) return Break::zwj;
  if (c == 0x200C || (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F)) {
    return Break::extend;  // joiner's opposite, skin tones, tag characters
  }
  if (c >= 0x1F1E6 && c <= 0x1F1FF) return Break::regionalIndicator;
  if (c >= 0x1100 && c <= 0x115F) return Break::l;
  if (c >= 0xA960 && c <= 0xA97C) return Break::l;
  if (c >= 0x1160 && c <= 0x11A7) return Break::v;
  if (c >= 0xD7B0 && c <= 0xD7C6) return Break::v;
  if (c >= 0x11A8 && c <= 0x11FF) return Break::t;
  if (c >= 0xD7CB && c <= 0xD7FB) return Break::t;
  if (c >= kHangulSyllableBase && c < kHangulSyllableBase + kHangulSyllableCount) {
    return (c - kHangulSyllableBase) % kHangulTrailingCount == 0 ? Break::lv : Break::lvt;
  }
  switch (glibUnicode().type(c)) {
    case G_UNICODE_CONTROL:
    case G_UNICODE_LINE_SEPARATOR:
    case G_UNICODE_PARAGRAPH_SEPARATOR:
    case G_UNICODE_FORMAT:
    case G_UNICODE_SURROGATE:
      return Break::control;
    case G_UNICODE_NON_SPACING_MARK:
    case G_UNICODE_ENCLOSING_MARK:
      return Break::extend;
    case G_UNICODE_SPACING_MARK:
      return Break::spacingMark;
    default:
      return isPictographic(c) ? Break::pictographic : Break::other;
  }
}

// Whether a cluster boundary lies between `before` and `after`. `pictographicRun` says that the
// current cluster so far is a pictograph followed by extenders (and perhaps a joiner);
// `regionalIndicators` counts the regional indicators in a row up to `before`.
bool isBoundary(Break before, Break after, bool pictographicRun, int regionalIndicators) {
  if (before == Break::invalid || after == Break::invalid) return true;
  if (before == Break::cr && after == Break::lf) return false;
  if (before == Break::cr || before == Break::lf || before == Break::control) return true;
  if (after == Break::cr || after == Break::lf || after == Break::control) return true;
  if (before == Break::l &&
      (after == Break::l || after == Break::v || after == Break::lv || after == Break::lvt)) {
    return false;
  }
  if ((before == Break::lv || before == Break::v) && (after == Break::v || after == Break::t)) {
    return false;
  }
  if ((before == Break::lvt || before == Break::t) && after == Break::t) return false;
  if (after == Break::extend || after == Break::zwj || after == Break::spacingMark) return false;
  if (before == Break::zwj && after == Break::pictographic && pictographicRun) return false;
  if (before == Break::regionalIndicator && after == Break::regionalIndicator) {
    return regionalIndicators % 2 == 0;
  }
  return true;
}

}  // namespace

std::string prefixOfUserPerceivedCharacters(std::string_view text, std::size_t count) {
  if (count == 0) return {};
  // Every character takes at least one byte: a text no longer than `count` bytes is whole.
  if (text.size() <= count) return std::string(text);
  const GLibUnicode& unicode = glibUnicode();
  std::size_t clusters = 0;
  std::size_t position = 0;
  Break previous = Break::control;
  bool pictographicRun = false;
  int regionalIndicators = 0;
  while (position < text.size()) {
    const gunichar c = unicode.decodeValidated(text.data() + position,
                                               static_cast<gssize>(text.size() - position));
    const bool valid = c != static_cast<gunichar>(-1) && c != static_cast<gunichar>(-2);
    const Break current = valid ? classify(c) : Break::invalid;
    const std::size_t length =
        valid ? sequenceLength(static_cast<unsigned char>(text[position])) : 1;
    if (position == 0 || isBoundary(previous, current, pictographicRun, regionalIndicators)) {
      if (clusters == count) return std::string(text.substr(0, position));
      ++clusters;
      pictographicRun = current == Break::pictographic;
    } else if (current != Break::extend && current != Break::zwj) {
      pictographicRun = pictographicRun && current == Break::pictographic;
    }
    regionalIndicators = current == Break::regionalIndicator ? regionalIndicators + 1 : 0;
    previous = current;
    position += length;
  }
  return std::string(text);
}

}  // namespace kestro::share
