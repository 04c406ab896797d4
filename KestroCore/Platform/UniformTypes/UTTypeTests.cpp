#include "KestroCore/Platform/UniformTypes/UTType.h"
#include "Testing/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kestro {
namespace {

namespace fs = std::filesystem;

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
  EXPECT_TRUE(matroska.conforms(UTType::movie()));
  EXPECT_TRUE(matroska.conforms(UTType::data()));
  EXPECT_FALSE(matroska.conforms(UTType::image()));
  EXPECT_FALSE(matroska.conforms(UTType::text()));
}

TEST(UTTypeTest, IdentifiersTheSystemDoesNotKnowGiveNoType) {
  for (const char* identifier :
       {"", "com.example.unknown", "dyn.ah62d4rv4ge80", "application/x-kestro-never-registered",
        "image/*", "image/", "/png", "text plain", "image/png/extra", "public.png "}) {
    EXPECT_FALSE(UTType::fromIdentifier(identifier)) << identifier;
  }
}

TEST(UTTypeTest, ExtensionsAreLookedUpInTheMIMEDatabase) {
  EXPECT_EQ(mimeForExtension("png"), "image/png");
  EXPECT_EQ(mimeForExtension("PNG"), "image/png");
  EXPECT_TRUE(UTType::fromFilenameExtension("png", UTType::data())->conforms(UTType::image()));
  EXPECT_TRUE(UTType::fromFilenameExtension("mov", UTType::data())->conforms(UTType::movie()));
  EXPECT_TRUE(UTType::fromFilenameExtension("html", UTType::data())->conforms(UTType::text()));
  EXPECT_TRUE(UTType::fromFilenameExtension("pdf", UTType::data())->conforms(UTType::pdf()));

  // Unknown, generic, empty and path-like extensions have no type.
  for (const char* extension : {"kestrozz", "bin", "", "png/x", "tar/.."}) {
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
  // Types known only to the database have theirs too.
  EXPECT_EQ(extension("video/x-matroska"), "mkv");
  EXPECT_EQ(extension("text/markdown"), "md");
  // Abstract types have none.
  EXPECT_FALSE(UTType::image().preferredFilenameExtension());
  EXPECT_FALSE(UTType::data().preferredFilenameExtension());
}

TEST(UTTypeTest, ConformanceFollowsTheDeclaredHierarchy) {
  EXPECT_TRUE(type("public.png").conforms(UTType::image()));
  EXPECT_TRUE(type("public.png").conforms(UTType::data()));
  EXPECT_TRUE(type("public.file-url").conforms(UTType::url()));
  EXPECT_TRUE(type("public.utf8-plain-text").conforms(type("public.plain-text")));
  EXPECT_TRUE(type("public.html").conforms(UTType::text()));
  EXPECT_TRUE(type("com.apple.quicktime-movie").conforms(UTType::movie()));
  EXPECT_TRUE(UTType::pdf().conforms(UTType::data()));

  EXPECT_FALSE(UTType::url().conforms(UTType::text()));
  EXPECT_FALSE(UTType::url().conforms(type("public.file-url")));
  EXPECT_FALSE(UTType::image().conforms(type("public.png")));
  EXPECT_FALSE(type("public.plain-text").conforms(type("public.utf8-plain-text")));
  EXPECT_FALSE(UTType::pdf().conforms(UTType::image()));
  // Types known by MIME type only reach the abstract ones through the database.
  EXPECT_TRUE(type("text/x-csrc").conforms(UTType::text()));
  EXPECT_TRUE(type("application/zip").conforms(UTType::data()));
  EXPECT_FALSE(type("inode/directory").conforms(UTType::data()));
}

// What xdg-mime says of a file, without a desktop environment: it then asks `file --mime-type`,
// which reads the file's content, not its name.
std::string xdgMimeFiletype(const fs::path& path) {
  const std::string command =
      "env XDG_CURRENT_DESKTOP=X-Generic xdg-mime query filetype '" + path.native() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string answer;
  char buffer[256];
  while (pipe && std::fgets(buffer, sizeof buffer, pipe)) answer += buffer;
  const int status = pipe ? ::pclose(pipe) : -1;
  EXPECT_EQ(status, 0) << command << " (is xdg-utils installed?)";
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == ' ')) answer.pop_back();
  return answer;
}

TEST(UTTypeTest, ExtensionLookupsAgreeWithXdgMimeOnRealFiles) {
  const testsupport::TemporaryDirectory temporary("kestro-uttype");
  const fs::path& root = temporary.path();

  // Each file starts with the real signature of its format, so that a reader of content and a
  // reader of names must come to the same answer.
  using namespace std::string_literals;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"photo.png", "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0\x90wS\xde"s},
      {"photo.jpg", "\xff\xd8\xff\xe0\0\x10JFIF\0\x01\x01\0\0\x01\0\x01\0\0"s},
      {"anim.gif", "GIF89a\x01\0\x01\0\0\0\0;"s},
      {"picture.webp", "RIFF\x1a\0\0\0WEBPVP8 \x0e\0\0\0"s + std::string(14, '\0')},
      {"clip.mp4",
       "\0\0\0\x18"
       "ftypisom\0\0\x02\0isomiso2\0\0\0\x08"
       "free"s},
      {"clip.mov",
       "\0\0\0\x14"
       "ftypqt  \0\0\x02\0qt  \0\0\0\x08wide"s},
      {"paper.pdf", "%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n"s},
      {"notes.txt", "plain words\n"s},
      {"page.html", "<!DOCTYPE html>\n<html><head><title>t</title></head><body>x</body></html>\n"s},
      {"blob.kestrozz", "\x01\x02\x03\x04\xfe\xff\0\x13\x37\x42\x99\x88\x77\x66\x55\x44"s},
  };
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    const fs::path path = root / name;
    std::ofstream(path, std::ios::binary) << bytes;
    const std::string extension = path.extension().native().substr(1);
    // No type is what the loader reports as "application/octet-stream".
    EXPECT_EQ(mimeForExtension(extension).value_or("application/octet-stream"),
              xdgMimeFiletype(path));
  }
}

}  // namespace
}  // namespace kestro
