#include "KestroCore/MacShareExtension/ShareRequestLoader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>

#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using Item = ItemProvider::Item;

class ShareRequestLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temporary_.path();
    fs::create_directories(root_ / "tmp");
    fs::create_directories(root_ / "files");
  }

  fs::path write(const std::string& name, const std::string& contents) const {
    const fs::path path = root_ / "files" / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  static std::string read(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }

  // One provider with item handlers that deliver `item` for each type, counting the loads.
  std::shared_ptr<ItemProvider> itemProvider(
      std::vector<std::pair<std::string, std::optional<Item>>> offers) {
    auto provider = std::make_shared<ItemProvider>();
    for (auto& [type, item] : offers) {
      provider->registerItem(type, [this, item = item](const ItemProvider::ItemCompletion& done) {
        ++loads_;
        done(item, item ? nullptr : std::make_exception_ptr(std::runtime_error("nothing")));
      });
    }
    return provider;
  }
  // Lends `path` as a file of `type`, removing it once the completion has returned, as a host
  // that lends a temporary file does.
  static void lendAndRemove(ItemProvider& provider, const std::string& type, fs::path path) {
    provider.registerFileRepresentation(type, [path](const ItemProvider::FileCompletion& done) {
      done(URL::fileURL(path), nullptr);
      fs::remove(path);
    });
  }

  std::vector<ShareRepresentation> load(std::vector<InputItem> items) const {
    const ExtensionContext context(std::move(items));
    return ShareRequestLoader(root_ / "tmp").loadRepresentations(context);
  }
  std::vector<ShareRepresentation> loadOne(std::shared_ptr<ItemProvider> provider) const {
    return load({ExtensionItem{std::nullopt, {std::move(provider)}}});
  }

  testsupport::TemporaryDirectory temporary_{"kestro-loader"};
  fs::path root_;
  std::atomic<int> loads_{0};
};

TEST_F(ShareRequestLoaderTest, AddressesAndFileReferencesTakeTheURLRouteAndOtherItemsFallThrough) {
  // A file reference is taken where it is, typed by its extension (the handler's tests share
  // images and movies that way), and not copied.
  const URL unknown = URL::fileURL(write("data.kestrozz", "bytes"));
  EXPECT_EQ(loadOne(itemProvider({{"public.file-url", Item(unknown)}})),
            std::vector{ShareRepresentation::file(unknown, "application/octet-stream")});
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));

  // A mail link with a text form becomes that text.
  EXPECT_EQ(loadOne(itemProvider({{"public.url", Item(*URL::fromString("mailto:a@example.com"))},
                                  {"public.plain-text", Item(std::string("a@example.com"))}})),
            std::vector{ShareRepresentation::text("a@example.com")});
  // A URL type that delivers a string is not a URL; its text form is used instead.
  EXPECT_EQ(loadOne(itemProvider({{"public.url", Item(std::string("https://x.example"))},
                                  {"public.utf8-plain-text", Item(std::string("words"))}})),
            std::vector{ShareRepresentation::text("words")});
  // Nothing else to offer: the attachment contributes nothing.
  EXPECT_TRUE(loadOne(itemProvider({{"public.url", std::nullopt}})).empty());
}

TEST_F(ShareRequestLoaderTest, OnlyTheFirstTextTypeIsTriedBeforeTheFileRoute) {
  const std::vector<std::pair<std::optional<Item>, std::optional<ShareRepresentation>>> cases = {
      {Item(std::string("")), ShareRepresentation::text("")},
      {Item(ItemProvider::Data{'o', 'k'}), ShareRepresentation::text("ok")},
      {Item(ItemProvider::Data{0xff, 0xfe}), std::nullopt},  // not UTF-8
      {std::nullopt, std::nullopt},
  };
  for (const auto& [item, expected] : cases) {
    loads_ = 0;
    auto provider = itemProvider(
        {{"public.plain-text", item}, {"public.html", Item(std::string("<b>second text</b>"))}});
    const fs::path lent = write("note.txt", "from the file");
    lendAndRemove(*provider, "public.plain-text", lent);
    const std::vector<ShareRepresentation> found = loadOne(provider);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(loads_, 1);  // public.html is never asked
    if (expected) {
      EXPECT_EQ(found[0], *expected);
    } else {
      // On to the file route: a copy of the lent file, typed by the first file-like type.
      const auto* file = found[0].as<ShareRepresentation::File>();
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(file->mimeType, "text/plain");
      EXPECT_EQ(read(*file->url.filePath()), "from the file");
    }
  }
}

TEST_F(ShareRequestLoaderTest, LentFilesAreCopiedInsideTheCompletion) {
  struct Case {
    std::string type;
    std::string name;
    std::string expectedMIMEType;
    int kind;  // 0 file, 1 image, 2 movie
  };
  const std::vector<Case> cases = {
      {"public.image", "photo.heic", "image/jpeg", 1},  // no MIME type of its own
      {"public.movie", "clip", "video/mp4", 2},
      {"com.adobe.pdf", "paper.pdf", "application/pdf", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    auto provider = std::make_shared<ItemProvider>();
    const fs::path lent = write(c.name, "contents of " + c.name);
    lendAndRemove(*provider, c.type, lent);
    const std::vector<ShareRepresentation> found = loadOne(provider);
    provider.reset();  // waits for the provider's thread, which removes the lent file
    ASSERT_EQ(found.size(), 1u);
    const ShareRepresentation::LocalFile* file = found[0].localFile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->mimeType, c.expectedMIMEType);
    EXPECT_EQ(c.kind == 1, found[0].as<ShareRepresentation::Image>() != nullptr);
    EXPECT_EQ(c.kind == 2, found[0].as<ShareRepresentation::Movie>() != nullptr);
    const fs::path copy = *file->url.filePath();
    EXPECT_EQ(copy.parent_path(), root_ / "tmp");
    EXPECT_TRUE(copy.filename().native().ends_with("-" + c.name));
    EXPECT_EQ(read(copy), "contents of " + c.name);
  }
}

TEST_F(ShareRequestLoaderTest, FailedCopiesContributeNothingAndLeaveNothing) {
  auto missing = std::make_shared<ItemProvider>();
  missing->registerFileRepresentation("public.png", [&](const ItemProvider::FileCompletion& done) {
    done(URL::fileURL(root_ / "files" / "gone.png"), nullptr);
  });
  auto remote = std::make_shared<ItemProvider>();
  remote->registerFileRepresentation("public.png", [](const ItemProvider::FileCompletion& done) {
    done(*URL::fromString("https://example.com/a.png"), nullptr);
  });
  auto unknownType = itemProvider({{"com.example.private", Item(std::string("secret"))}});
  EXPECT_TRUE(load({ExtensionItem{std::nullopt, {missing, remote, unknownType, nullptr}}}).empty());
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));

  // An escaped slash in the lent name cannot place the copy anywhere but the temporary directory.
  fs::create_directories(root_ / "files" / "sub");
  write("escape", "payload");
  auto sneaky = std::make_shared<ItemProvider>();
  sneaky->registerFileRepresentation("public.data", [&](const ItemProvider::FileCompletion& done) {
    done(*URL::fromString(URL::fileURL(root_ / "files").absoluteString() + "/sub%2F..%2Fescape"),
         nullptr);
  });
  const std::vector<ShareRepresentation> found = loadOne(sneaky);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].localFile()->url.filePath()->parent_path(), root_ / "tmp");
  EXPECT_EQ(read(*found[0].localFile()->url.filePath()), "payload");
}

TEST_F(ShareRequestLoaderTest, ItemsKeepTheirOrderWithContentTextBeforeAttachments) {
  const URL first = *URL::fromString("https://example.com/1");
  const URL second = *URL::fromString("https://example.com/2");
  const std::vector<ShareRepresentation> found = load({
      ExtensionItem{"  spaced text \n", {itemProvider({{"public.url", Item(first)}})}},
      OtherInputItem{"a pasteboard item"},
      ExtensionItem{" \n\t ", {itemProvider({{"public.url", Item(second)}})}},
      ExtensionItem{"last words", {}},
  });
  EXPECT_EQ(found, (std::vector{ShareRepresentation::text("  spaced text \n"),
                                ShareRepresentation::url(first), ShareRepresentation::url(second),
                                ShareRepresentation::text("last words")}));
}

}  // namespace
}  // namespace kestro
