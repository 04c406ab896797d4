#include "KestroCore/Platform/UniformTypes/UTType.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Platform/UniformTypes/internal/GIO.h"
#include "KestroCore/Platform/UniformTypes/internal/GLibOwned.h"

namespace kestro {

namespace uttype {

// One declared type. `mimeType` is its own MIME type; `mimePatterns` stand for an abstract type
// when a type known only by its MIME type is tested against it ("image/*" for public.image,
// "text/plain" for public.text, since the database makes every text/* a subclass of it).
struct Declaration {
  std::string_view identifier;
  std::string_view mimeType;  // empty: abstract
  std::array<std::string_view, 2> parents;
  std::array<std::string_view, 2> mimePatterns;
};

}  // namespace uttype

namespace {

using uttype::Declaration;

// Ordered so that a MIME type shared by two declarations ("text/plain") finds the more general
// one first.
constexpr Declaration kDeclarations[] = {
    {"public.item", "", {}, {}},
    {"public.content", "", {"public.item"}, {"application/octet-stream"}},
    {"public.data", "", {"public.item"}, {"application/octet-stream"}},
    {"public.composite-content", "", {"public.content"}, {}},
    {"public.text", "", {"public.data", "public.content"}, {"text/plain"}},
    {"public.plain-text", "text/plain", {"public.text"}, {}},
    {"public.utf8-plain-text", "text/plain", {"public.plain-text"}, {}},
    {"public.html", "text/html", {"public.text"}, {}},
    {"public.xml", "application/xml", {"public.text"}, {}},
    {"public.json", "application/json", {"public.text"}, {}},
    {"public.url", "", {"public.data"}, {}},
    {"public.file-url", "", {"public.url"}, {}},
    {"public.image", "", {"public.data", "public.content"}, {"image/*"}},
    {"public.png", "image/png", {"public.image"}, {}},
    {"public.jpeg", "image/jpeg", {"public.image"}, {}},
    {"public.gif", "image/gif", {"public.image"}, {}},
    {"public.tiff", "image/tiff", {"public.image"}, {}},
    {"public.heic", "image/heic", {"public.image"}, {}},
    {"public.heif", "image/heif", {"public.image"}, {}},
    {"org.webmproject.webp", "image/webp", {"public.image"}, {}},
    {"public.svg-image", "image/svg+xml", {"public.image", "public.xml"}, {}},
    {"com.adobe.pdf", "application/pdf", {"public.data", "public.composite-content"}, {}},
    {"public.audiovisual-content", "", {"public.data", "public.content"}, {"video/*", "audio/*"}},
    {"public.movie", "", {"public.audiovisual-content"}, {"video/*"}},
    {"public.mpeg-4", "video/mp4", {"public.movie"}, {}},
    {"com.apple.quicktime-movie", "video/quicktime", {"public.movie"}, {}},
    {"public.avi", "video/x-msvideo", {"public.movie"}, {}},
    {"public.audio", "", {"public.audiovisual-content"}, {"audio/*"}},
    {"public.mp3", "audio/mpeg", {"public.audio"}, {}},
    {"com.pkware.zip-archive", "application/zip", {"public.data"}, {}},
};

constexpr std::string_view kOctetStream = "application/octet-stream";

const Declaration* declarationNamed(std::string_view identifier) {
  for (const Declaration& declaration : kDeclarations) {
    if (equalsIgnoringASCIICase(declaration.identifier, identifier)) return &declaration;
  }
  return nullptr;
}

const Declaration& declarationOrDie(std::string_view identifier) {
  const Declaration* declaration = declarationNamed(identifier);
  // Only reached with identifiers spelled in this file, every one of which is in the table.
  if (!declaration) std::abort();
  return *declaration;
}

const Declaration* declarationWithMIMEType(std::string_view mimeType) {
  for (const Declaration& declaration : kDeclarations) {
    if (!declaration.mimeType.empty() && declaration.mimeType == mimeType) return &declaration;
  }
  return nullptr;
}

bool declaredConforms(const Declaration& declaration, std::string_view ancestor) {
  if (declaration.identifier == ancestor) return true;
  return std::any_of(declaration.parents.begin(), declaration.parents.end(), [&](auto parent) {
    return !parent.empty() && declaredConforms(declarationOrDie(parent), ancestor);
  });
}

bool mimeIsA(const std::string& type, std::string_view supertype) {
  return gio::functions().contentTypeIsA(type.c_str(), std::string(supertype).c_str());
}

// Every type the shared-mime-info database registers. Read once: the database only changes
// when packages are installed, and a share target lives for a moment.
const std::unordered_set<std::string>& registeredMIMETypes() {
  static const std::unordered_set<std::string> registered = [] {
    std::unordered_set<std::string> types;
    const glib::OwnedStringList list(gio::functions().contentTypesGetRegistered());
    for (const GList* item = list.get(); item; item = item->next) {
      types.emplace(static_cast<const char*>(item->data));
    }
    return types;
  }();
  return registered;
}

// "Text/Plain; charset=utf-8" as "text/plain"; nothing unless it has the shape type/subtype.
std::optional<std::string> bareMIMEType(std::string_view text) {
  text = text.substr(0, text.find(';'));
  text = trimmingSpacesAndTabs(text);
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == text.size() ||
      text.find('/', slash + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  for (const char c : text) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') ||
                         std::string_view("/!#$&-^_.+").find(c) != std::string_view::npos;
    if (!allowed) return std::nullopt;
  }
  return asciiLowercased(text);
}

// The directories of the shared-mime-info database, most important first.
std::vector<std::string> mimeDirectories() {
  std::vector<std::string> directories;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (dataHome && dataHome[0] == '/') {
    directories.push_back(std::string(dataHome) + "/mime");
  } else if (home && home[0] == '/') {
    directories.push_back(std::string(home) + "/.local/share/mime");
  }
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  std::string_view list = dataDirs && dataDirs[0] ? dataDirs : "/usr/local/share:/usr/share";
  while (!list.empty()) {
    const std::string_view directory = list.substr(0, list.find(':'));
    if (!directory.empty() && directory.front() == '/') {
      directories.push_back(std::string(directory) + "/mime");
    }
    list.remove_prefix(std::min(list.size(), directory.size() + 1));
  }
  return directories;
}

}  // namespace

std::optional<std::string> UTType::preferredFilenameExtension() const {
  if (!mimeType_) return std::nullopt;
  std::optional<std::string> best;
  long bestWeight = -1;
  for (const std::string& directory : mimeDirectories()) {
    // Lines of "weight:type:glob[:flags]".
    std::ifstream globs(directory + "/globs2");
    for (std::string line; std::getline(globs, line);) {
      if (line.empty() || line.front() == '#') continue;
      const std::size_t first = line.find(':');
      const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
      if (second == std::string::npos) continue;
      if (std::string_view(line).substr(first + 1, second - first - 1) != *mimeType_) continue;
      std::string_view glob = std::string_view(line).substr(second + 1);
      glob = glob.substr(0, glob.find(':'));
      if (!glob.starts_with("*.") || glob.size() == 2 ||
          glob.find_first_of("*?[", 1) != std::string_view::npos) {
        continue;
      }
      const long weight = std::strtol(line.c_str(), nullptr, 10);
      if (weight > bestWeight) {
        bestWeight = weight;
        best = std::string(glob.substr(2));
      }
    }
  }
  return best;
}

UTType::UTType(const uttype::Declaration* declaration, std::string identifier,
               std::optional<std::string> mimeType)
    : declaration_(declaration),
      identifier_(std::move(identifier)),
      mimeType_(std::move(mimeType)) {}

UTType UTType::declared(const Declaration& declaration) {
  return UTType(&declaration, std::string(declaration.identifier),
                declaration.mimeType.empty()
                    ? std::nullopt
                    : std::optional<std::string>(std::string(declaration.mimeType)));
}

std::optional<UTType> UTType::fromMIMEType(std::string_view mimeType, bool mustBeRegistered) {
  if (const Declaration* declaration = declarationWithMIMEType(mimeType)) {
    return declared(*declaration);
  }
  std::string type(mimeType);
  if (mustBeRegistered && !registeredMIMETypes().contains(type)) return std::nullopt;
  return UTType(nullptr, type, type);
}

std::optional<UTType> UTType::fromIdentifier(std::string_view identifier) {
  if (const Declaration* declaration = declarationNamed(identifier)) return declared(*declaration);
  const std::optional<std::string> mimeType = bareMIMEType(identifier);
  if (!mimeType) return std::nullopt;
  return fromMIMEType(*mimeType, true);
}

std::optional<UTType> UTType::fromFilenameExtension(std::string_view filenameExtension,
                                                    const UTType& conformingTo) {
  if (filenameExtension.empty() || filenameExtension.find('/') != std::string_view::npos ||
      filenameExtension.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string name = "file." + std::string(filenameExtension);
  gboolean uncertain = FALSE;
  // Uncertainty is not a reason to refuse: without content GIO calls every text type (".html",
  // ".json") uncertain, although the name alone settles it.
  const gio::Functions& gio = gio::functions();
  const glib::OwnedString guess(gio.contentTypeGuess(name.c_str(), nullptr, 0, &uncertain));
  if (!guess || gio.contentTypeIsUnknown(guess.get()) || kOctetStream == guess.get()) {
    return std::nullopt;
  }
  const glib::OwnedString mimeType(gio.contentTypeGetMIMEType(guess.get()));
  if (!mimeType) return std::nullopt;
  std::optional<UTType> type = fromMIMEType(asciiLowercased(mimeType.get()), false);
  if (!type || !type->conforms(conformingTo)) return std::nullopt;
  return type;
}

bool UTType::conforms(const UTType& other) const {
  if (identifier_ == other.identifier_) return true;
  if (declaration_ && other.declaration_) {
    if (declaredConforms(*declaration_, other.declaration_->identifier)) return true;
    // Two concrete declared types may still be related in the database (image/svg+xml is XML);
    // two that share a MIME type (plain and UTF-8 plain text) keep the table's order.
    return mimeType_ && other.mimeType_ && *mimeType_ != *other.mimeType_ &&
           mimeIsA(*mimeType_, *other.mimeType_);
  }
  if (!mimeType_) return false;  // an abstract declared type against a database type
  if (!other.declaration_) return mimeIsA(*mimeType_, *other.mimeType_);
  // A database type against a declared one: the declared type's own MIME type, or the patterns
  // that stand for an abstract type.
  if (other.mimeType_ && mimeIsA(*mimeType_, *other.mimeType_)) return true;
  for (const std::string_view pattern : other.declaration_->mimePatterns) {
    if (!pattern.empty() && mimeIsA(*mimeType_, pattern)) return true;
  }
  return false;
}

const UTType& UTType::url() {
  static const UTType type = declared(declarationOrDie("public.url"));
  return type;
}
const UTType& UTType::text() {
  static const UTType type = declared(declarationOrDie("public.text"));
  return type;
}
const UTType& UTType::pdf() {
  static const UTType type = declared(declarationOrDie("com.adobe.pdf"));
  return type;
}
const UTType& UTType::image() {
  static const UTType type = declared(declarationOrDie("public.image"));
  return type;
}
const UTType& UTType::movie() {
  static const UTType type = declared(declarationOrDie("public.movie"));
  return type;
}
const UTType& UTType::data() {
  static const UTType type = declared(declarationOrDie("public.data"));
  return type;
}

}  // namespace kestro
