#include "KestroCore/Platform/UniformTypes/UTType.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace kestro {
namespace {

UTType type(std::string_view identifier) {
  std::optional<UTType> found = UTType::fromIdentifier(identifier);
  EXPECT_TRUE(found) << identifier;
  return found.value_or(UTType::data());
}

std::optional<std::string> mimeForExtension(std::string_view extension) {
  const std::optional<UTType> found = UTType::fromFilenameExtension(extension, UTType::data());
  return found ? found->preferredMIMEType() : std::nullopt;
}

TEST(UTTypeTest, DeclaredIdentifiersAndMIMETypesNameTheSameType) {
  EXPECT_EQ(type("image/png"), type("public.png"));
  EXPECT_EQ(type("PUBLIC.PNG").identifier(), "public.png");
  EXPECT_EQ(type("Text/Plain; charset=utf-8").identifier(), "public.plain-text");
  EXPECT_EQ(type("public.png").preferredMIMEType(), "image/png");
  EXPECT_EQ(UTType::image().preferredMIMEType(), std::nullopt);

  // A MIME type the table does not declare stands for itself, with the database's hierarchy.
  const UTType matroska = type("video/x-matroska");
  EXPECT_EQ(matroska.identifier(), "video/x-matroska");
  EXPECT_EQ(matroska.preferredMIMEType(), "video/x-matroska");
  EXPECT_TRUE(matroska.conforms(UTType::movie()) && matroska.conforms(UTType::data()));
  EXPECT_FALSE(matroska.conforms(UTType::image()) || matroska.conforms(UTType::text()));
}

TEST(UTTypeTest, IdentifiersTheSystemDoesNotKnowGiveNoType) {
  for (const char* identifier : {"", "com.example.unknown", "application/x-kestro-never-registered",
                                 "image/*", "/png", "image/png/extra"}) {
    EXPECT_FALSE(UTType::fromIdentifier(identifier)) << identifier;
  }
}

TEST(UTTypeTest, ExtensionsAreLookedUpInTheMIMEDatabase) {
  // What `xdg-mime query filetype` answers for a file of each kind.
  const std::pair<const char*, const char*> kKnown[] = {
      {"PNG", "image/png"}, {"mov", "video/quicktime"}, {"pdf", "application/pdf"}};
  for (const auto& [extension, mime] : kKnown) EXPECT_EQ(mimeForExtension(extension), mime);
  EXPECT_TRUE(UTType::fromFilenameExtension("mov", UTType::movie()));

  // Unknown, generic, empty and path-like extensions have no type.
  for (const char* extension : {"kestrozz", "bin", "", "png/x"}) {
    EXPECT_FALSE(UTType::fromFilenameExtension(extension, UTType::data())) << extension;
  }
  // A type that does not conform to what is asked for is not returned.
  EXPECT_FALSE(UTType::fromFilenameExtension("png", UTType::movie()));
  EXPECT_TRUE(UTType::fromFilenameExtension("png", UTType::image()));
}

TEST(UTTypeTest, PreferredExtensionsComeFromTheMIMEDatabase) {
  const auto extension = [](const char* identifier) {
    return UTType::fromIdentifier(identifier)->preferredFilenameExtension();
  };
  EXPECT_EQ(extension("public.png"), "png");
  EXPECT_EQ(extension("com.adobe.pdf"), "pdf");
  // The first glob of the highest weight: "*.txt" before "*.asc" and the odd "*,v".
  EXPECT_EQ(extension("public.plain-text"), "txt");
  // Types known only to the database have theirs too; abstract types have none.
  EXPECT_EQ(extension("video/x-matroska"), "mkv");
  EXPECT_FALSE(UTType::image().preferredFilenameExtension());
}

TEST(UTTypeTest, ConformanceFollowsTheDeclaredHierarchy) {
  // Each pair conforms one way only. Types known by MIME type only reach the abstract ones
  // through the database.
  const std::pair<UTType, UTType> kConforming[] = {
      {type("public.png"), UTType::image()},
      {type("public.file-url"), UTType::url()},
      {type("public.utf8-plain-text"), type("public.plain-text")},
      {UTType::pdf(), UTType::data()},
      {type("text/x-csrc"), UTType::text()}};
  for (const auto& [specific, general] : kConforming) {
    SCOPED_TRACE(specific.identifier() + " < " + general.identifier());
    EXPECT_TRUE(specific.conforms(general));
    EXPECT_FALSE(general.conforms(specific));
  }
  EXPECT_FALSE(UTType::url().conforms(UTType::text()));
  EXPECT_FALSE(type("inode/directory").conforms(UTType::data()));
}

}  // namespace
}  // namespace kestro
