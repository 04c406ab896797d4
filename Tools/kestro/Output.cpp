#include "Tools/kestro/Output.h"

#include <cstdio>
#include <iostream>

#include "KestroCore/Foundation/RawValue.h"
#include "KestroCore/Foundation/Text.h"
#include "Tools/kestro/DesktopTools.h"

namespace kestro::commands {
std::string shown(std::string_view outside) { return printableLine(outside); }

std::string jsonText(const JSON& document, int indent) {
  const std::string text = document.dump(indent, ' ', false, JSON::error_handler_t::replace);
  // The dump escapes C0 controls but writes U+0080 to U+009F as their UTF-8 bytes, which some
  // terminals obey as controls. Outside strings the dump is ASCII, so these bytes can only be
  // inside a string, where the escape means the same character.
  std::string escaped;
  escaped.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(next));
      escaped += escape;
      ++i;
    } else {
      escaped.push_back(text[i]);
    }
  }
  return escaped;
}

void printJSON(const JSON& document) {
  std::cout << jsonText(document, 2) << "\n";
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
                     padded(std::string(rawValue(item.kind)), 13) + "  " + shown(item.title);
  if (item.canonicalUrl && *item.canonicalUrl != item.title)
    line += "  <" + shown(*item.canonicalUrl) + ">";
  std::printf("%s\n", line.c_str());
}

void printTask(const KestroTask& task) {
  const bool done = task.status == "done" || task.status == "completed" || task.completedAt;
  std::string line =
      task.id.uuidString().substr(0, 8) + "  " + (done ? "[x] " : "[ ] ") + shown(task.title);
  if (task.dueText) line += "  (due " + shown(*task.dueText) + ")";
  std::printf("%s\n", line.c_str());
}

void printSearchResult(const SearchResult& result) {
  std::printf("%s  %s\n", result.item.id.uuidString().substr(0, 8).c_str(),
              shown(result.item.title).c_str());
  if (!result.excerpt.empty()) std::printf("          %s\n", shown(result.excerpt).c_str());
}

}  // namespace kestro::commands
