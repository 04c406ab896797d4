#pragma once

// How `kestro` prints: JSON documents, colour (only where wanted), and one line per server entity.

#include <string>
#include <string_view>

#include "KestroCore/Application/RecordDescription.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Models/ServerModels.h"

namespace kestro::commands {

// Text that did not come from this program (the server's fields and messages, file names,
// stored error codes, what the user typed) as it may reach a terminal: one line, tabs and line
// breaks as spaces, and every other control character (C0, ESC, DEL, C1) shown as U+FFFD, so
// that nothing in it can move the cursor, recolour the screen or command the terminal. Every
// such text passes through here on its way out; the program's own words and colours do not.
std::string shown(std::string_view outside);

// `document` as JSON text: indented by `indent` (none, on one line, when negative), keys
// sorted. Control characters are escaped in it, the C1 ones (which JSON could carry raw) too.
std::string jsonText(const JSON& document, int indent);

// Indented, keys sorted, to standard output.
void printJSON(const JSON& document);

enum class Colour { none, green, yellow, red, cyan, dim };

Colour colourOf(RecordStanding standing);

// Paints text for the terminal when colour is wanted (desktop::colourWanted), else leaves it.
class Painter {
 public:
  Painter();
  std::string operator()(std::string_view text, Colour colour) const;

 private:
  bool enabled_;
};

// `text` filled with spaces to `columns` characters (code points); longer text is left whole.
std::string padded(const std::string& text, std::size_t columns);

void printItem(const KestroItem& item);
void printTask(const KestroTask& task);
void printSearchResult(const SearchResult& result);

}  // namespace kestro::commands
