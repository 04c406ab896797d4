#include "KestroCore/Policies/ShareItemSelector.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

using R = ShareRepresentation;

URL url(const char* text) { return URL::fromString(text).value(); }

ShareSelection webAddress(const char* text) { return {SourceKind::url, url(text), {}, {}}; }
ShareSelection selectedText(std::string text) { return {SourceKind::selectedText, {}, text, {}}; }
ShareSelection files(SourceKind kind, std::vector<R> staged) { return {kind, {}, {}, staged}; }

const R kPage = R::url(url("https://example.com/page"));
const R kWords = R::text("some words");
const R kBlank = R::text(" \n\t\u00A0\u2028");
const R kNotes = R::file(url("file:///tmp/notes.txt"), "text/plain");
const R kPhoto = R::image(url("file:///tmp/photo.jpg"), "image/jpeg");
const R kClip = R::movie(url("file:///tmp/clip.mov"), "video/quicktime");

TEST(ShareItemSelectorTest, EarlierStagesWinWhateverTheirPosition) {
  const struct {
    const char* scenario;
    std::vector<R> input;
    std::optional<ShareSelection> expected;
  } cases[] = {
      {"nothing shared", {}, std::nullopt},
      {"web address after a text", {kWords, kPage}, webAddress("https://example.com/page")},
      {"first of two web addresses",
       {kPhoto, kPage, R::url(url("https://example.org/other"))},
       webAddress("https://example.com/page")},
      {"text beats an earlier file", {kNotes, kWords}, selectedText("some words")},
      {"blank first text hides a later one", {kBlank, kWords}, std::nullopt},
      {"blank first text falls through to files",
       {kBlank, kWords, kNotes},
       files(SourceKind::file, {kNotes})},
      {"first file decides the kind, all are staged",
       {kPhoto, kNotes, kClip},
       files(SourceKind::image, {kPhoto, kNotes, kClip})},
  };
  for (const auto& [scenario, input, expected] : cases) {
    EXPECT_EQ(ShareItemSelector::select(input), expected) << scenario;
  }
}

TEST(ShareItemSelectorTest, TextBecomesAWebAddressOnlyWhenItIsExactlyOne) {
  const struct {
    const char* text;
    std::optional<const char*> address;  // absent: the text is kept as it is
  } cases[] = {
      {"https://example.com/a?b=c#d", "https://example.com/a?b=c#d"},
      {" https://example.com/a", std::nullopt},   // the space makes it part of a sentence
      {"https://example.com/a b", std::nullopt},  // must parse as a whole
      {"  two words \n", std::nullopt},           // kept with its white space
  };
  for (const auto& [text, address] : cases) {
    const auto expected = address ? webAddress(*address) : selectedText(text);
    EXPECT_EQ(ShareItemSelector::select({R::text(text), kNotes}), expected) << text;
  }
}

TEST(ShareItemSelectorTest, OnlyAFileCanBeAPDF) {
  const std::pair<R, SourceKind> cases[] = {
      {R::file(url("file:///tmp/report.PDF"), "application/octet-stream"), SourceKind::pdf},
      {R::file(url("file:///tmp/report.bin"), "Application/PDF"), SourceKind::file},  // exact type
      {R::image(url("file:///tmp/scan.pdf"), "application/pdf"), SourceKind::image},
  };
  for (const auto& [first, kind] : cases) {
    const auto selection = ShareItemSelector::select({first, kNotes});
    ASSERT_TRUE(selection.has_value());
    EXPECT_EQ(selection->sourceKind, kind) << first.localFile()->url.absoluteString();
    EXPECT_EQ(selection->files, (std::vector<R>{first, kNotes}));
  }
  // A PDF in second place does not make the capture a PDF.
  const R pdf = R::file(url("file:///tmp/report.pdf"), "application/pdf");
  EXPECT_EQ(ShareItemSelector::select({kNotes, pdf})->sourceKind, SourceKind::file);
}

}  // namespace
}  // namespace kestro
