#include "KestroCore/Foundation/Text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kestro {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TrimmingWhitespaceAndNewlinesTest, RemovesUnicodeSpacesAtBothEndsOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {" \t\n\v\f\r", ""},
      {"  x  y \r\n", "x  y"},
      {"\u00A0x\u2028\u0085", "x"},        // no-break space, line separator, next line
      {"\u200Bx\uFEFF", "\u200Bx\uFEFF"},  // zero-width space and BOM are no spaces
      {" \xE2\x80 ", "\xE2\x80"},          // a cut sequence stays
  };
  for (const auto& [text, trimmed] : cases) EXPECT_EQ(trimmingWhitespaceAndNewlines(text), trimmed);
}

TEST(UTF8Test, ValidationAgreesWithTheRepair) {
  const std::pair<std::string, bool> cases[] = {
      {"\u00E9\u20AC\U0001F600", true},  // two, three and four bytes
      {"\xC0\xAF", false},               // overlong "/"
      {"\xED\xA0\x80", false},           // a surrogate
      {"ok\xE2\x82", false},             // cut short at the end
      {std::string("a\0b", 3), true},    // NUL is a character
  };
  for (const auto& [bytes, valid] : cases) {
    EXPECT_EQ(isValidUTF8(bytes), valid) << bytes;
    const std::string repaired = repairedUTF8(bytes);
    EXPECT_TRUE(isValidUTF8(repaired)) << bytes;
    EXPECT_EQ(repaired == bytes, valid) << bytes;
  }
}

TEST(PrintableTextTest, ControlCharactersNeverReachTheTerminalWholeOrSplitAcrossPieces) {
  // An escape sequence (recolouring), an OSC 52 clipboard write, DEL, and C1's CSI.
  EXPECT_EQ(printableText("\x1B[31mred"), kReplacement + "[31mred");
  EXPECT_EQ(printableText("\x1B]52;c;aGk=\x07"), kReplacement + "]52;c;aGk=" + kReplacement);
  EXPECT_EQ(printableText("a\x7F\xC2\x9B"
                          "1m\xC2\xA0"),
            "a" + kReplacement + kReplacement + "1m\xC2\xA0");
  // White space stays only when asked; broken UTF-8 is repaired; the rest is untouched.
  EXPECT_EQ(printableText("a\tb\nc"), "a" + kReplacement + "b" + kReplacement + "c");
  EXPECT_EQ(printableText("a\tb\r\nc", /*keepingWhitespace=*/true), "a\tb\r\nc");
  EXPECT_EQ(printableLine("a\tb\r\nc\x1B"), "a b  c" + kReplacement);
  EXPECT_EQ(printableText("Grüße, 東京 👋\xC3"), "Grüße, 東京 👋" + kReplacement);

  // C1's CSI (U+009B) cut between its two bytes is still caught; so is ESC on its own in a piece.
  PrintableTextStream stream;
  std::string shown = stream.append("a\xC2");
  shown += stream.append(
      "\x9B"
      "31m");
  shown += stream.append("\x1B");
  shown += stream.append("[2J line\r\n\tnext ");
  // A character cut after each of its bytes comes out whole, once complete.
  for (const char byte : std::string("👋")) shown += stream.append(std::string(1, byte));
  shown += stream.finish();
  EXPECT_EQ(shown,
            "a" + kReplacement + "31m" + kReplacement + "[2J line" + kReplacement + "\n\tnext 👋");

  // A character the stream ends inside is shown as broken, not dropped.
  PrintableTextStream cut;
  EXPECT_EQ(cut.append("caf\xC3"), "caf");
  EXPECT_EQ(cut.finish(), kReplacement);
}

TEST(CodePointsTest, CutsNeverSplitACharacterAndTheMarkCountsInTheLength) {
  EXPECT_EQ(codePointCount("Grüße 👋"), 7u);
  EXPECT_EQ(prefixOfCodePoints("Grüße 👋", 7), "Grüße 👋");
  EXPECT_EQ(prefixOfCodePoints("👋👋👋", 2), "👋…");
  EXPECT_EQ(prefixOfCodePoints("abc", 0), "");
}

}  // namespace
}  // namespace kestro
