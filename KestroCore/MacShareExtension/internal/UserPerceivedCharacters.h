#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestro::share {

// The first `count` user-perceived characters of `text`: extended grapheme clusters after
// Unicode's text segmentation rules (UAX #29), so a cut never separates a letter from its
// combining marks, a Hangul syllable from its jamo, an emoji from its modifiers and joined
// emoji, or the two halves of a flag. Character properties come from GLib's Unicode tables;
// "extended pictographic" is approximated by the symbol (So) category and the emoji blocks,
// and the rare prepended concatenation marks are treated as ordinary characters. A byte that is
// not part of valid UTF-8 counts as one character of its own. GLib is loaded the first time a
// text longer than `count` bytes needs cutting; throws std::runtime_error if it cannot be.
std::string prefixOfUserPerceivedCharacters(std::string_view text, std::size_t count);

}  // namespace kestro::share
