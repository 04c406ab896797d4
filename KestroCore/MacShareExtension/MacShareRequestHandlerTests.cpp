#include "KestroCore/MacShareExtension/MacShareRequestHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <tuple>

#include "KestroCore/MacShareExtension/ShareError.h"
#include "KestroCore/OutboxStore/OutboxStore.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Item = ItemProvider::Item;

constexpr Date kNow{1767225600s};  // 2026-01-01T00:00:00Z

class MacShareRequestHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temporary_.path();
    fs::create_directories(root_ / "tmp");
    fs::create_directories(root_ / "files");
  }

  ShareEnvironment environment() const {
    return ShareEnvironment{Bundle({{"CFBundleShortVersionString", std::string("3.2.1")}}),
                            UserDirectories(root_ / "config", root_ / "data", root_ / "tmp"),
                            [] { return kNow; }};
  }
  UserDefaults shared() const { return ExtensionSettings(environment()).sharedSettingsStore(); }
  UUID signIn() const {
    const UUID user;
    shared().set(user.uuidString(), "tavlo.current-user-id");
    return user;
  }
  fs::path storage() const { return root_ / "data" / "group.kestro.capture"; }
  std::vector<OutboxRecord> records(const UUID& user) const {
    if (!fs::exists(storage() / "kestro.sqlite")) return {};
    return OutboxStore(URL::fileURL(storage() / "kestro.sqlite")).all(user);
  }
  fs::path write(const std::string& name, const std::string& contents) const {
    const fs::path path = root_ / "files" / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  // How many files are under the attachments directory.
  std::ptrdiff_t staged() const {
    if (!fs::exists(storage() / "attachments")) return 0;
    return std::ranges::count_if(
        fs::recursive_directory_iterator(storage() / "attachments"),
        [](const fs::directory_entry& entry) { return entry.is_regular_file(); });
  }
  static std::shared_ptr<ItemProvider> offering(std::string type, Item item) {
    auto provider = std::make_shared<ItemProvider>();
    provider->registerItem(
        std::move(type), [item](const ItemProvider::ItemCompletion& done) { done(item, nullptr); });
    return provider;
  }
  static std::shared_ptr<ExtensionContext> context(
      std::vector<std::shared_ptr<ItemProvider>> providers) {
    return std::make_shared<ExtensionContext>(
        std::vector<InputItem>{ExtensionItem{std::nullopt, std::move(providers)}});
  }

  // Runs one request through the handler's life cycle, as the host does, and returns how it
  // ended.
  ExtensionContext::Outcome share(const std::shared_ptr<ExtensionContext>& request) const {
    MainQueue mainQueue;
    MacShareRequestHandler handler(mainQueue, environment());
    handler.setExtensionContext(request);
    handler.view();
    handler.viewDidAppear();
    EXPECT_TRUE(handler.hasStarted());
    mainQueue.runUntil([&] { return request->outcome().has_value(); });
    return *request->outcome();
  }
  testsupport::TemporaryDirectory temporary_{"kestro-handler"};
  fs::path root_;
};

TEST_F(MacShareRequestHandlerTest, TheTaskStartsOnceAndOnlyWithAContext) {
  MainQueue mainQueue;
  MacShareRequestHandler handler(mainQueue, environment());
  handler.viewDidAppear();
  EXPECT_FALSE(handler.hasStarted());

  const UUID user = signIn();
  const auto request =
      context({offering("public.url", Item(*URL::fromString("https://example.com/once")))});
  handler.setExtensionContext(request);
  handler.viewDidAppear();
  EXPECT_TRUE(handler.hasStarted());
  handler.viewDidAppear();
  mainQueue.runUntil([&] { return request->outcome().has_value(); });
  handler.viewDidAppear();
  EXPECT_TRUE(request->outcome()->completed());
  EXPECT_EQ(records(user).size(), 1u);  // one capture, however often the view appeared
}

TEST_F(MacShareRequestHandlerTest, AWebAddressBecomesOneQueuedRecordAndANewRevision) {
  const UUID user = signIn();
  const URL address = *URL::fromString("https://example.com/article?id=7");
  ASSERT_TRUE(share(context({offering("public.url", Item(address))})).completed());

  const std::vector<OutboxRecord> stored = records(user);
  ASSERT_EQ(stored.size(), 1u);
  const OutboxRecord& record = stored[0];
  EXPECT_EQ(record.state, CaptureOutboxState::queued);
  const CaptureEnvelope& capture = record.capture;
  EXPECT_EQ(capture.sourceKind, SourceKind::url);
  EXPECT_EQ(capture.url, address);
  EXPECT_EQ(capture.capturedAt, kNow);
  const UUID device = *UUID::fromString(*shared().string("tavlo-device-id"));
  EXPECT_EQ(capture.origin,
            (CaptureOrigin{KestroPlatform::macos, CaptureMechanism::shareExtension, device, "3.2.1",
                           "Share Extension", std::nullopt, std::nullopt}));
  // A second capture has the same device and a different revision, each a UUID.
  const std::string firstRevision = shared().string("kestro.shared-capture-revision").value();
  ASSERT_TRUE(
      share(context({offering("public.plain-text", Item(std::string(" a note ")))})).completed());
  const std::string secondRevision = shared().string("kestro.shared-capture-revision").value();
  EXPECT_TRUE(UUID::fromString(firstRevision));
  EXPECT_TRUE(UUID::fromString(secondRevision));
  EXPECT_NE(firstRevision, secondRevision);
  const std::vector<OutboxRecord> both = records(user);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[1].capture.origin.deviceId, device);
}

TEST_F(MacShareRequestHandlerTest, FilesAreStagedAsPrimaryThenAttachmentsInOneDirectory) {
  const UUID user = signIn();
  const fs::path image = write("shot.png", "picture");
  const fs::path movie = write("clip.mov", "moving picture");
  ASSERT_TRUE(share(context({offering("public.file-url", Item(URL::fileURL(image))),
                             offering("public.file-url", Item(URL::fileURL(movie)))}))
                  .completed());

  const std::vector<OutboxRecord> stored = records(user);
  ASSERT_EQ(stored.size(), 1u);
  const std::vector<StagedAsset>& assets = stored[0].stagedAssets;
  EXPECT_EQ(stored[0].capture.sourceKind, SourceKind::image);
  ASSERT_EQ(assets.size(), 2u);
  EXPECT_EQ(std::tie(assets[0].role, assets[0].filename, assets[0].mimeType),
            std::tuple(AssetRole::primary, "shot.png", "image/png"));
  EXPECT_EQ(std::tie(assets[1].role, assets[1].filename, assets[1].mimeType),
            std::tuple(AssetRole::attachment, "clip.mov", "video/quicktime"));
  const fs::path directory =
      storage() / "attachments" / stored[0].capture.clientCaptureId.uuidString();
  for (const StagedAsset& asset : assets) {
    EXPECT_EQ(asset.localURL.filePath()->parent_path(), directory);
  }
  // The originals were shared where they were: nothing went through the temporary directory.
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

// The host picks what to tell (and kestro-share its exit status) from the kind alone. What was
// staged before a refusal stays, and no revision announces a capture that was not stored.
TEST_F(MacShareRequestHandlerTest, EachWayARequestFailsCarriesItsKindAndKeepsWhatWasStaged) {
  const auto kindOf = [](const ExtensionContext::Outcome& outcome) -> std::optional<ShareFailure> {
    if (outcome.completed()) return std::nullopt;
    try {
      std::rethrow_exception(outcome.error);
    } catch (const std::exception& error) {
      return shareFailureOf(error);
    }
  };
  const auto text = [this](std::string words) {
    return share(context({offering("public.plain-text", Item(std::move(words)))}));
  };
  const auto file = [](const fs::path& path) {
    return offering("public.file-url", Item(URL::fileURL(path)));
  };
  // Nothing capturable: refused before anything is written.
  EXPECT_EQ(kindOf(text(" \n ")), ShareFailure::nothingToCapture);
  EXPECT_FALSE(fs::exists(storage()));
  // Nobody signed in, or someone who is no user: refused after staging, and the copy stays.
  const fs::path image = write("shot.png", "picture");
  EXPECT_EQ(kindOf(share(context({file(image)}))), ShareFailure::signInRequired);
  shared().set("not-a-uuid", "tavlo.current-user-id");
  EXPECT_EQ(kindOf(share(context({file(image)}))), ShareFailure::signInRequired);
  EXPECT_EQ(staged(), 2);
  // A second file that cannot be read: the first one's copy stays, and no record is written.
  const UUID user = signIn();
  EXPECT_EQ(kindOf(share(context({file(image), file(root_ / "files" / "gone.pdf")}))),
            ShareFailure::storage);
  EXPECT_EQ(staged(), 3);
  EXPECT_TRUE(records(user).empty());
  EXPECT_EQ(shared().string("kestro.shared-capture-revision"), std::nullopt);

  // A directory where the database should be (the refused shares created the database).
  for (const char* name : {"kestro.sqlite", "kestro.sqlite-wal", "kestro.sqlite-shm"}) {
    fs::remove(storage() / name);
  }
  fs::create_directory(storage() / "kestro.sqlite");
  EXPECT_EQ(kindOf(text("a thought")), ShareFailure::storage);
  fs::remove(storage() / "kestro.sqlite");
  EXPECT_EQ(kindOf(text("a thought")), std::nullopt);

  // A settings file that is no longer one.
  for (const auto& entry : fs::directory_iterator(root_ / "config")) {
    std::ofstream(entry.path(), std::ios::trunc) << "{ not json";
  }
  EXPECT_EQ(kindOf(text("a thought")), ShareFailure::storage);
}

TEST_F(MacShareRequestHandlerTest, ANoteIsTrimmedAndCutToTwentyThousandCharacters) {
  const UUID user = signIn();
  MainQueue mainQueue;
  MacShareRequestHandler handler(mainQueue, environment());
  const std::vector<ShareRepresentation> page = {
      ShareRepresentation::url(*URL::fromString("https://example.com/"))};

  // Each "e" with its combining accent is one character of two code points.
  std::string accented;
  for (int i = 0; i < 20001; ++i) accented += "e\xCC\x81";
  handler.captureShare(page, KestroPlatform::ios, "\n  " + accented + "  \n");
  handler.captureShare(page, KestroPlatform::macos, " \n\t ");

  const std::vector<OutboxRecord> stored = records(user);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].capture.annotation, accented.substr(0, 3 * 20000));
  EXPECT_EQ(stored[0].capture.origin.platform, KestroPlatform::ios);
  EXPECT_EQ(stored[1].capture.annotation, std::nullopt);
}

}  // namespace
}  // namespace kestro
