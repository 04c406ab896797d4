#include "Tools/kestro/Output.h"

#include <cstdio>
#include <iostream>

#include "KestroCore/Foundation/RawValue.h"
#include "KestroCore/Foundation/Text.h"
#include "Tools/kestro/DesktopTools.h"

namespace kestro::commands {
namespace {

// One line of a server's text: line breaks become spaces, and nothing in it can command the
// terminal.
std::string flat(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return printableText(text);
}

}  // namespace

void printJSON(const JSON& document) {
  std::cout << document.dump(2, ' ', false, JSON::error_handler_t::replace) << "\n";
  std::cout.flush();
}

Colour colourOf(RecordStanding standing) {
  switch (standing) {
    case RecordStanding::sent:
      return Colour::green;
    case RecordStanding::waitingToRetry:
      return Colour::yellow;
    case RecordStanding::refused:
    case RecordStanding::needsAttention:
      return Colour::red;
    case RecordStanding::uploading:
    case RecordStanding::sending:
      return Colour::cyan;
    case RecordStanding::cancelled:
      return Colour::dim;
    case RecordStanding::onThisDevice:
      return Colour::none;
  }
  return Colour::none;
}

Painter::Painter() : enabled_(desktop::colourWanted()) {}

std::string Painter::operator()(std::string_view text, Colour colour) const {
  if (!enabled_ || colour == Colour::none) return std::string(text);
  const char* code = "";
  switch (colour) {
    case Colour::green:
      code = "32";
      break;
    case Colour::yellow:
      code = "33";
      break;
    case Colour::red:
      code = "31";
      break;
    case Colour::cyan:
      code = "36";
      break;
    case Colour::dim:
      code = "2";
      break;
    case Colour::none:
      break;
  }
  return "\033[" + std::string(code) + "m" + std::string(text) + "\033[0m";
}

std::string padded(const std::string& text, std::size_t columns) {
  const std::size_t width = codePointCount(text);
  return width >= columns ? text : text + std::string(columns - width, ' ');
}

void printItem(const KestroItem& item) {
  std::string line = item.id.uuidString().substr(0, 8) + "  " +
                     padded(std::string(rawValue(item.kind)), 13) + "  " + flat(item.title);
  if (item.canonicalUrl && *item.canonicalUrl != item.title)
    line += "  <" + *item.canonicalUrl + ">";
  std::printf("%s\n", line.c_str());
}

void printTask(const KestroTask& task) {
  const bool done = task.status == "done" || task.status == "completed" || task.completedAt;
  std::string line =
      task.id.uuidString().substr(0, 8) + "  " + (done ? "[x] " : "[ ] ") + flat(task.title);
  if (task.dueText) line += "  (due " + flat(*task.dueText) + ")";
  std::printf("%s\n", line.c_str());
}

void printSearchResult(const SearchResult& result) {
  std::printf("%s  %s\n", result.item.id.uuidString().substr(0, 8).c_str(),
              flat(result.item.title).c_str());
  if (!result.excerpt.empty()) std::printf("          %s\n", flat(result.excerpt).c_str());
}

}  // namespace kestro::commands
