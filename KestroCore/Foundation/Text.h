#pragma once

// Text helpers shared by every path that takes text from outside: what counts as blank, and
// how bytes that are not UTF-8 become text that JSON can carry.

#include <string>
#include <string_view>

namespace kestro {

// `text` without the white space and line breaks around it: the ASCII ones (tab, line feed,
// vertical tab, form feed, carriage return, space), next line (U+0085) and every Unicode space
// and line or paragraph separator (no-break space U+00A0, U+1680, U+2000 to U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000). That is the set the platform's own "white space and newlines"
// stands for, so a text pasted with no-break spaces around it is blank or trimmed exactly as it
// would be there. Zero-width space and the byte order mark are formatting, not space, and stay.
// Text that is not valid UTF-8 is trimmed only up to its first invalid byte from either side.
std::string_view trimmingWhitespaceAndNewlines(std::string_view text) noexcept;

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF).
bool isValidUTF8(std::string_view bytes) noexcept;

// `bytes` as valid UTF-8: each maximal subpart of an ill-formed sequence becomes U+FFFD, as
// Unicode recommends (chapter 3, "U+FFFD Substitution of Maximal Subparts"); valid input comes
// back unchanged.
std::string repairedUTF8(std::string_view bytes);

// `text` made safe to show on a terminal: repaired as by repairedUTF8, and every control
// character (C0, DEL and the C1 range U+0080 to U+009F) replaced by U+FFFD, so that text from
// outside (a page's title, a server's message) cannot move the cursor, recolour the screen or
// send the terminal commands. With `keepingWhitespace`, tab, line feed, vertical tab, form feed
// and carriage return are kept.
std::string printableText(std::string_view text, bool keepingWhitespace = false);

// `text` as one printable line: tab, line feed and carriage return become spaces, and the rest
// is as printableText makes it.
std::string printableLine(std::string_view text);

// printableText for text that arrives in pieces, such as a reply streamed from a server: a piece
// may end inside a character, whose start is held back until the next piece completes it. Tab
// and line feed are kept and every other control replaced, carriage return too, since it would
// let the text overwrite what the line already shows. Not thread-safe; use one per stream.
class PrintableTextStream {
 public:
  // What of the text so far can be shown now.
  std::string append(std::string_view piece);

  // What was held back, once no more comes: an unfinished character shows as U+FFFD.
  std::string finish();

 private:
  std::string pending_;
};

// How many code points `text` holds (bytes that are not UTF-8 continuation bytes).
std::size_t codePointCount(std::string_view text) noexcept;

// `text` when it holds at most `maximum` code points; otherwise its first `maximum` - 1 and "…",
// `maximum` in all. A cut never falls inside a character.
std::string prefixOfCodePoints(std::string_view text, std::size_t maximum);

}  // namespace kestro
