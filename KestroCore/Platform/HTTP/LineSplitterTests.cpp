#include "KestroCore/Platform/HTTP/LineSplitter.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

// The splitter's rules over bytes cut in chunks of every size from one byte up: the lines and how
// the splitting ends must never depend on where the chunks fall.

namespace kestro {
namespace {

struct Split {
  std::vector<std::string> lines;
  LineSplitter::Status end = LineSplitter::Status::more;
  bool operator==(const Split&) const = default;
};

Split split(std::string_view bytes, std::size_t chunk, std::size_t limit) {
  LineSplitter splitter(limit);
  Split result;
  const auto onLine = [&](std::string_view line) {
    result.lines.emplace_back(line);
    return line != "stop";
  };
  for (std::size_t at = 0; at < bytes.size() && result.end == LineSplitter::Status::more;
       at += chunk) {
    result.end = splitter.feed(bytes.substr(at, chunk), onLine);
  }
  if (result.end == LineSplitter::Status::more) result.end = splitter.finish(onLine);
  return result;
}

TEST(LineSplitterTest, LinesAndTheirEndDoNotDependOnTheChunking) {
  using enum LineSplitter::Status;
  const struct {
    const char* scenario;
    std::string bytes;
    Split expected;
  } cases[] = {
      {"LF, CR LF, a lone CR kept, a blank line, a last line without terminator",
       "a\nb\r\nc\rd\n\nlast\r",
       {{"a", "b", "c\rd", "", "last"}, more}},
      {"a character of several bytes split across chunks stays whole",
       "\xE2\x82\xAC\xF0\x9F\x98\x80\n",
       {{"\xE2\x82\xAC\xF0\x9F\x98\x80"}, more}},
      {"the caller stops: nothing after is handed over", "a\nstop\nb\n", {{"a", "stop"}, stopped}},
      {"a line exactly at the limit fits, with LF or CR LF",
       "12345678\n12345678\r\n",
       {{"12345678", "12345678"}, more}},
      {"one byte over ends the splitting", "ok\n123456789\nlater\n", {{"ok"}, lineTooLong}},
      {"a line over the limit that never ends",
       "ok\n" + std::string(100, 'x'),
       {{"ok"}, lineTooLong}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk = 1; chunk <= c.bytes.size(); ++chunk) {
      SCOPED_TRACE(std::string(c.scenario) + ", chunks of " + std::to_string(chunk));
      EXPECT_EQ(split(c.bytes, chunk, 8), c.expected);
    }
  }
}

}  // namespace
}  // namespace kestro
