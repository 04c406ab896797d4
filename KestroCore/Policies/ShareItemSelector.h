#pragma once

// What a share request becomes. The loader hands over every item it could read as a
// `ShareRepresentation`; `ShareItemSelector::select` decides which of them the capture is.
//
// All types here are plain values: copy, compare and pass them between threads freely.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Models/CaptureEnvelope.h"

namespace kestro {

// One item of a share request, in the neutral form the loader produces: a web address, a piece
// of text, or a local file with its MIME type.
class ShareRepresentation {
 public:
  // The payload of the three file-like cases.
  struct LocalFile {
    URL url;  // a file URL
    std::string mimeType;

    bool operator==(const LocalFile&) const = default;
  };

  // The five cases, in this order. `Url` rather than `URL` so that the case does not hide the
  // URL type inside this class.
  struct Url {
    URL url;
    bool operator==(const Url&) const = default;
  };
  struct Text {
    std::string text;
    bool operator==(const Text&) const = default;
  };
  struct File : LocalFile {
    bool operator==(const File&) const = default;
  };
  struct Image : LocalFile {
    bool operator==(const Image&) const = default;
  };
  struct Movie : LocalFile {
    bool operator==(const Movie&) const = default;
  };

  using Case = std::variant<Url, Text, File, Image, Movie>;

  static ShareRepresentation url(URL url);
  static ShareRepresentation text(std::string text);
  static ShareRepresentation file(URL url, std::string mimeType);
  static ShareRepresentation image(URL url, std::string mimeType);
  static ShareRepresentation movie(URL url, std::string mimeType);

  const Case& value() const noexcept { return case_; }
  // The case's payload, or null when the representation is of another case.
  template <class C>
  const C* as() const noexcept {
    return std::get_if<C>(&case_);
  }
  // The file and its MIME type for the file-like cases (`file`, `image`, `movie`); null for a
  // web address or a text.
  const LocalFile* localFile() const noexcept;

  // Same case and equal payloads; URLs compare by their text, strings exactly.
  bool operator==(const ShareRepresentation&) const = default;

 private:
  explicit ShareRepresentation(Case value) : case_(std::move(value)) {}

  Case case_;
};

// What the capture will be: a web address, a text, or files to stage. Only the field that
// belongs to `sourceKind` is filled; `files` is empty unless the capture is made of files.
struct ShareSelection {
  SourceKind sourceKind;
  std::optional<URL> url;                  // web-address captures only
  std::optional<std::string> text;         // text captures only, untrimmed
  std::vector<ShareRepresentation> files;  // file-like representations, in the order loaded

  bool operator==(const ShareSelection&) const = default;
};

namespace ShareItemSelector {

// Picks what a share request captures: the first web address anywhere in the list; otherwise the
// first text, unless it is blank (a text that is an http or https address becomes a web
// address); otherwise every file-like item, the first of which decides the kind. Gives nothing
// when the list holds nothing capturable. Pure; throws only std::bad_alloc.
std::optional<ShareSelection> select(const std::vector<ShareRepresentation>& representations);

}  // namespace ShareItemSelector

}  // namespace kestro
