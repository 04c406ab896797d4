#include "KestroCore/Platform/UniformTypes/UTType.h"

#include <gtest/gtest.h>

#include <string>

namespace kestro {
namespace {

UTType type(std::string_view identifier) {
  std::optional<UTType> found = UTType::fromIdentifier(identifier);
  EXPECT_TRUE(found) << identifier;
  return found.value_or(UTType::data());
}

TEST(UTTypeTest, DeclaredIdentifiersAndMIMETypesNameTheSameTypeAndOthersNone) {
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

  for (const char* unknown : {"", "com.example.unknown", "application/x-kestro-never-registered",
                              "image/*", "/png", "image/png/extra"}) {
    EXPECT_FALSE(UTType::fromIdentifier(unknown)) << unknown;
  }
}

TEST(UTTypeTest, ExtensionsAndTheirPreferredOnesComeFromTheMIMEDatabase) {
  // What `xdg-mime query filetype` answers for a file of each kind.
  EXPECT_EQ(UTType::fromFilenameExtension("PNG", UTType::data()).value().preferredMIMEType(),
            "image/png");
  EXPECT_EQ(UTType::fromFilenameExtension("mov", UTType::data()).value().preferredMIMEType(),
            "video/quicktime");

  // Unknown, generic, empty and path-like extensions have no type.
  for (const char* extension : {"kestrozz", "bin", "png/x"}) {
    EXPECT_FALSE(UTType::fromFilenameExtension(extension, UTType::data())) << extension;
  }
  // A type that does not conform to what is asked for is not returned.
  EXPECT_FALSE(UTType::fromFilenameExtension("png", UTType::movie()));
  EXPECT_TRUE(UTType::fromFilenameExtension("png", UTType::image()));

  // Preferred extensions: the first glob of the highest weight ("*.txt" before "*.asc"), also for
  // types known only to the database; abstract types have none.
  EXPECT_EQ(type("public.plain-text").preferredFilenameExtension(), "txt");
  EXPECT_EQ(type("video/x-matroska").preferredFilenameExtension(), "mkv");
  EXPECT_FALSE(UTType::image().preferredFilenameExtension());
}

TEST(UTTypeTest, ConformanceFollowsTheDeclaredHierarchy) {
  // Each pair conforms one way only. Types known by MIME type only reach the abstract ones
  // through the database.
  const std::pair<UTType, UTType> kConforming[] = {
      {type("public.png"), UTType::image()},
      {type("public.file-url"), UTType::url()},
      {type("public.utf8-plain-text"), type("public.plain-text")},
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
