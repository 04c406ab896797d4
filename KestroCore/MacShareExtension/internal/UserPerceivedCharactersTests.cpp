#include "KestroCore/MacShareExtension/internal/UserPerceivedCharacters.h"

#include <gtest/gtest.h>

namespace kestro::share {
namespace {

TEST(UserPerceivedCharactersTest, ACutNeverSplitsACharacter) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t count;
    std::string expected;
  };
  const std::string family =
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  const std::string flagFR = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
  const std::string hangulJamo = "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8";  // one syllable
  const std::vector<Case> cases = {
      {"joined emoji", family + "!", 1, family},
      {"flags in pairs", flagFR + flagFR, 1, flagFR},
      {"hangul jamo", hangulJamo + "a", 1, hangulJamo},
      {"crlf", "\r\nx", 1, "\r\n"},
      {"joiner after a letter joins no emoji", "a\xE2\x80\x8D\xF0\x9F\x91\xA9", 1, "a\xE2\x80\x8D"},
      {"invalid bytes count one each",
       "\xff\xfe"
       "a",
       2, "\xff\xfe"},
      {"shorter than asked", "ab", 5, "ab"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(prefixOfUserPerceivedCharacters(c.text, c.count), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace kestro::share
