#include "KestroCore/Policies/ShareItemSelector.h"

#include <array>
#include <cstddef>
#include <utility>

namespace kestro {
namespace {

// The UTF-8 encodings of the white space and line breaks that trimming removes. Each starts with
// a lead byte, so a match at either end of the text always falls on a character boundary.
constexpr std::array<std::string_view, 19> kMultiByteSpaces{
    "\xC2\x85",      // next line
    "\xC2\xA0",      // no-break space
    "\xE1\x9A\x80",  // ogham space mark
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A",  // en quad to hair space
    "\xE2\x80\xA8",  // line separator
    "\xE2\x80\xA9",  // paragraph separator
    "\xE2\x80\xAF",  // narrow no-break space
    "\xE2\x81\x9F",  // medium mathematical space
    "\xE3\x80\x80",  // ideographic space
};

bool isASCIISpace(char byte) noexcept { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

std::size_t leadingSpaceLength(std::string_view text) noexcept {
  if (text.empty()) return 0;
  if (isASCIISpace(text.front())) return 1;
  for (std::string_view space : kMultiByteSpaces) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

std::size_t trailingSpaceLength(std::string_view text) noexcept {
  if (text.empty()) return 0;
  if (isASCIISpace(text.back())) return 1;
  for (std::string_view space : kMultiByteSpaces) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

bool isWebScheme(std::string_view scheme) noexcept {
  // As written: browsers copy addresses with the scheme in lower case, so a text that spells
  // "HTTPS://" was more likely typed as words than copied, and the user's text is kept.
  return scheme == "https" || scheme == "http";
}

bool hasPDFExtension(const URL& url) {
  std::string extension = url.pathExtension();
  // ASCII folding gives the same answer as full Unicode lower-casing here: no character outside
  // ASCII lower-cases to "p", "d" or "f".
  for (char& byte : extension) {
    if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
  }
  return extension == "pdf";
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

std::string_view trimmingWhitespaceAndNewlines(std::string_view text) noexcept {
  while (const std::size_t length = leadingSpaceLength(text)) text.remove_prefix(length);
  while (const std::size_t length = trailingSpaceLength(text)) text.remove_suffix(length);
  return text;
}

}  // namespace kestro
