#include "KestroCore/Policies/ShareItemSelector.h"

#include <cstddef>
#include <utility>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/Text.h"

namespace kestro {
namespace {

bool isWebScheme(std::string_view scheme) noexcept {
  // As written: browsers copy addresses with the scheme in lower case, so a text that spells
  // "HTTPS://" was more likely typed as words than copied, and the user's text is kept.
  return scheme == "https" || scheme == "http";
}

bool hasPDFExtension(const URL& url) {
  // ASCII folding gives the same answer as full Unicode lower-casing here: no character outside
  // ASCII lower-cases to "p", "d" or "f".
  return equalsIgnoringASCIICase(url.pathExtension(), "pdf");
}

SourceKind kindOfFirstFile(const ShareRepresentation& first) {
  if (const auto* file = first.as<ShareRepresentation::File>()) {
    if (file->mimeType == "application/pdf" || hasPDFExtension(file->url)) return SourceKind::pdf;
    return SourceKind::file;
  }
  if (first.as<ShareRepresentation::Image>() != nullptr) return SourceKind::image;
  return SourceKind::videoFile;
}

std::optional<ShareSelection> selectText(const std::string& text) {
  if (trimmingWhitespaceAndNewlines(text).empty()) return std::nullopt;
  // The untrimmed text: an address with spaces around it was part of a sentence.
  if (auto url = URL::fromString(text); url && isWebScheme(url->scheme())) {
    return ShareSelection{
        .sourceKind = SourceKind::url, .url = std::move(url), .text = {}, .files = {}};
  }
  return ShareSelection{
      .sourceKind = SourceKind::selectedText, .url = {}, .text = text, .files = {}};
}

}  // namespace

ShareRepresentation ShareRepresentation::url(URL url) {
  return ShareRepresentation(Url{std::move(url)});
}

ShareRepresentation ShareRepresentation::text(std::string text) {
  return ShareRepresentation(Text{std::move(text)});
}

ShareRepresentation ShareRepresentation::file(URL url, std::string mimeType) {
  return ShareRepresentation(File{{std::move(url), std::move(mimeType)}});
}

ShareRepresentation ShareRepresentation::image(URL url, std::string mimeType) {
  return ShareRepresentation(Image{{std::move(url), std::move(mimeType)}});
}

ShareRepresentation ShareRepresentation::movie(URL url, std::string mimeType) {
  return ShareRepresentation(Movie{{std::move(url), std::move(mimeType)}});
}

const ShareRepresentation::LocalFile* ShareRepresentation::localFile() const noexcept {
  if (const auto* file = as<File>()) return file;
  if (const auto* image = as<Image>()) return image;
  if (const auto* movie = as<Movie>()) return movie;
  return nullptr;
}

std::optional<ShareSelection> ShareItemSelector::select(
    const std::vector<ShareRepresentation>& representations) {
  for (const auto& representation : representations) {
    if (const auto* url = representation.as<ShareRepresentation::Url>()) {
      return ShareSelection{
          .sourceKind = SourceKind::url, .url = url->url, .text = {}, .files = {}};
    }
  }

  // Only the first text counts; a blank one hands over to the files rather than to a later text.
  for (const auto& representation : representations) {
    if (const auto* text = representation.as<ShareRepresentation::Text>()) {
      if (auto selection = selectText(text->text)) return selection;
      break;
    }
  }

  std::vector<ShareRepresentation> files;
  for (const auto& representation : representations) {
    if (representation.localFile() != nullptr) files.push_back(representation);
  }
  if (files.empty()) return std::nullopt;
  const SourceKind kind = kindOfFirstFile(files.front());
  return ShareSelection{.sourceKind = kind, .url = {}, .text = {}, .files = std::move(files)};
}

}  // namespace kestro
