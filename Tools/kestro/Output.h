#pragma once

// How `kestro` prints: JSON documents, colour (only where wanted), and one line per server entity.

#include <string>
#include <string_view>

#include "KestroCore/Application/RecordDescription.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Models/ServerModels.h"

namespace kestro::commands {

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
