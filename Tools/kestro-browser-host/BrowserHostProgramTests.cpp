// kestro-browser-host end to end: the program runs as a child process over pipes, as a browser
// runs it, against a temporary XDG tree; the tests read what it left there with tools of their
// own (SQLite, sha256sum) and the sync cache as `kestro sync` fills it.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/OutboxStore/SyncCache.h"
#include "KestroCore/Platform/Process/Process.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"
#include "Testing/TemporaryDirectory.h"
#include "Tools/kestro-browser-host/NativeMessaging.h"

namespace kestro::browserhost {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kUser = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
// A PNG's signature and a few bytes after it, as base64: enough for the host's check.
constexpr const char* kScreenshot = "data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAE=";

struct HostRun {
  int status = -1;
  std::vector<json> answers;
  std::string trailing;  // bytes after the last whole answer
};

std::string shellOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, n);
  }
  if (pipe) ::pclose(pipe);
  return output;
}

json share(std::string id, json fields = json::object()) {
  json request{{"id", std::move(id)},
               {"type", "share"},
               {"trigger", "button"},
               {"context", "page"},
               {"url", "https://example.com/article"}};
  request.update(fields);
  return request;
}

json status(std::string id, const std::string& url = "https://example.com/article") {
  return {{"id", std::move(id)}, {"type", "status"}, {"url", url}};
}

std::string frames(const std::vector<json>& requests) {
  std::string bytes;
  for (const json& request : requests) bytes += framed(request.dump());
  return bytes;
}

class BrowserHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temporary_.path();
    for (const char* directory : {"home", "config", "data", "tmp"}) {
      fs::create_directories(root_ / directory);
    }
  }

  void signIn() const { shared().set(kUser, "tavlo.current-user-id"); }

  UserDefaults shared() const {
    return *UserDefaults::suite("group.kestro.capture",
                                UserDirectories(root_ / "config", root_ / "data", root_ / "tmp"));
  }
  fs::path storage() const { return root_ / "data" / "group.kestro.capture"; }

  // Runs the host as a browser does, feeding it `input` and reading every answer it wrote.
  HostRun run(const std::string& input,
              std::vector<std::string> arguments = {"chrome-extension://abcdefgh/"}) const {
    ProcessOptions options;
    options.arguments = {KESTRO_BROWSER_HOST_PROGRAM};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.environment = {
        "HOME=" + (root_ / "home").native(), "XDG_CONFIG_HOME=" + (root_ / "config").native(),
        "XDG_DATA_HOME=" + (root_ / "data").native(), "TMPDIR=" + (root_ / "tmp").native()};
    options.standardInput = ProcessInput::text(input);
    options.standardOutput = ProcessOutput::capture();
    options.standardError = ProcessOutput::capture();
    Process process = Process::start(std::move(options));
    HostRun result;
    result.status = process.wait().shellStatus();
    std::string output = process.standardOutput();
    while (output.size() >= 4) {
      std::uint32_t length = 0;
      std::memcpy(&length, output.data(), 4);
      if (output.size() - 4 < length) break;
      result.answers.push_back(json::parse(output.substr(4, length)));
      output.erase(0, 4 + length);
    }
    result.trailing = output;
    return result;
  }

  // Every record's JSON, oldest first, read as the application would.
  std::vector<json> records() const {
    std::vector<json> found;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((storage() / "kestro.sqlite").c_str(), &db, SQLITE_OPEN_READONLY,
                        nullptr) != SQLITE_OK) {
      sqlite3_close(db);
      return found;
    }
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT record_json FROM outbox ORDER BY created_at", -1, &statement,
                       nullptr);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
      found.push_back(json::parse(std::string(bytes, sqlite3_column_bytes(statement, 0))));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
  }

  // Every file under attachments/, however deep.
  std::vector<fs::path> stagedFiles() const {
    std::vector<fs::path> found;
    if (!fs::exists(storage() / "attachments")) return found;
    for (const auto& entry : fs::recursive_directory_iterator(storage() / "attachments")) {
      found.push_back(entry.path());
    }
    return found;
  }

  testsupport::TemporaryDirectory temporary_{"kestro-browser-host-test"};
  fs::path root_;
};

TEST_F(BrowserHostTest, AShareIsStoredWithItsFieldsAndItsScreenshotAndStatusSeesIt) {
  signIn();
  const HostRun result = run(frames({status("before"),
                                     share("page", {{"title", " The article "},
                                                    {"selectedText", "a quote"},
                                                    {"visibleText", "all of it"},
                                                    {"screenshot", kScreenshot},
                                                    {"somethingNew", json::array({1, 2})}}),
                                     status("after")}));
  EXPECT_EQ(result.status, 0);
  ASSERT_EQ(result.answers.size(), 3u);
  EXPECT_EQ(result.answers[0],
            json({{"id", "before"}, {"ok", true}, {"onDevice", false}, {"inLibrary", false}}));
  const json& stored = result.answers[1];
  EXPECT_EQ(stored, json({{"id", "page"},
                          {"ok", true},
                          {"outcome", "stored"},
                          {"captureId", stored["captureId"]},
                          {"state", "queued"},
                          {"message", "stored on this device"},
                          {"url", "https://example.com/article"}}));
  EXPECT_EQ(result.answers[2], json({{"id", "after"},
                                     {"ok", true},
                                     {"onDevice", true},
                                     {"captureId", stored["captureId"]},
                                     {"state", "queued"},
                                     {"inLibrary", false}}));

  const std::vector<json> found = records();
  ASSERT_EQ(found.size(), 1u);
  const json& capture = found[0]["capture"];
  EXPECT_EQ(found[0]["userId"], kUser);
  EXPECT_EQ(capture["clientCaptureId"], stored["captureId"]);
  EXPECT_EQ(capture["url"], "https://example.com/article");
  EXPECT_EQ(capture["title"], "The article");
  EXPECT_EQ(capture["selectedText"], "a quote");
  EXPECT_EQ(capture["visibleText"], "all of it");
  EXPECT_EQ(capture["sourceKind"], "url");
  EXPECT_EQ(capture["origin"]["mechanism"], "manual");
  EXPECT_EQ(capture["privacy"]["screenshotIncluded"], true);
  // The screenshot, staged in the capture's own directory, is what its digest says.
  ASSERT_EQ(found[0]["stagedAssets"].size(), 1u);
  const json& asset = found[0]["stagedAssets"][0];
  EXPECT_EQ(asset["role"], "screenshot");
  EXPECT_EQ(asset["mimeType"], "image/png");
  const std::vector<fs::path> files = stagedFiles();
  ASSERT_EQ(files.size(), 2u);  // the capture's directory and the one file in it
  const fs::path file = files[0].has_extension() ? files[0] : files[1];
  EXPECT_EQ(file.parent_path().filename(), stored["captureId"].get<std::string>());
  EXPECT_EQ(shellOutput("sha256sum '" + file.native() + "'").substr(0, 64), asset["sha256"]);
  EXPECT_EQ(asset["byteCount"], fs::file_size(file));
  // The revision that wakes a watching flush was written.
  EXPECT_TRUE(shared().string("kestro.shared-capture-revision").has_value());
}

TEST_F(BrowserHostTest, TheContextPicksTheAddressAndTheTriggerTheMechanism) {
  signIn();
  const HostRun result =
      run(frames({share("link", {{"trigger", "contextMenu"},
                                 {"context", "link"},
                                 {"linkUrl", "https://example.org/linked"}}),
                  share("script", {{"context", "link"}, {"linkUrl", "javascript:void(0)"}}),
                  share("image", {{"trigger", "shortcut"},
                                  {"context", "image"},
                                  {"srcUrl", "https://cdn.example.net/p.jpg"}}),
                  share("selection", {{"context", "selection"}, {"selectedText", "  picked  "}})}));
  ASSERT_EQ(result.answers.size(), 4u);
  const std::vector<json> found = records();
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0]["capture"]["url"], "https://example.org/linked");
  EXPECT_EQ(found[0]["capture"]["origin"]["mechanism"], "share_menu");
  EXPECT_EQ(found[1]["capture"]["url"], "https://example.com/article");
  EXPECT_EQ(found[2]["capture"]["url"], "https://cdn.example.net/p.jpg");
  EXPECT_EQ(found[2]["capture"]["origin"]["mechanism"], "manual");
  EXPECT_EQ(found[3]["capture"]["selectedText"], "picked");
}

TEST_F(BrowserHostTest, StatusTellsTheNewestCaptureOfTheAddressAndTheLibrary) {
  signIn();
  // The library as `kestro sync` left it: one item made of the address.
  {
    SyncCache cache(URL::fileURL(storage() / "kestro.sqlite"));
    JSONValue::Object item{{"canonicalUrl", JSONValue::string("https://example.com/kept")}};
    cache.apply(
        *UUID::fromString(kUser),
        SyncPage{{SyncChange{1, "item", UUID(), "upsert", JSONValue::object(item)}}, 1, false});
  }
  const HostRun first = run(frames({share("one"), share("two")}));
  ASSERT_EQ(first.answers.size(), 2u);
  const HostRun result = run(frames({status("article"), status("kept", "https://example.com/kept"),
                                     status("other", "https://example.com/other")}));
  ASSERT_EQ(result.answers.size(), 3u);
  EXPECT_EQ(result.answers[0]["captureId"], first.answers[1]["captureId"]);
  EXPECT_EQ(result.answers[0]["inLibrary"], false);
  EXPECT_EQ(result.answers[1],
            json({{"id", "kept"}, {"ok", true}, {"onDevice", false}, {"inLibrary", true}}));
  EXPECT_EQ(result.answers[2]["onDevice"], false);
  EXPECT_EQ(result.answers[2]["inLibrary"], false);
}

TEST_F(BrowserHostTest, RefusalsAndNobodySignedInStoreNothing) {
  const HostRun signedOut =
      run(frames({share("a", {{"screenshot", kScreenshot}}), status("b")}), {});
  ASSERT_EQ(signedOut.answers.size(), 2u);
  for (const json& answer : signedOut.answers) {
    EXPECT_EQ(answer["outcome"], "notSignedIn");
    EXPECT_EQ(answer["message"], "not signed in: run kestro signin");
  }

  signIn();
  // The browser is the application the exclusion list names: here, the tests' own program.
  fs::create_directories(root_ / "config" / "kestro");
  std::ofstream(root_ / "config" / "kestro" / "settings.json")
      << R"({"kestro.excluded-applications": "org.other.App, KestroBrowserHostTests"})";
  const HostRun excluded =
      run(frames({share("c", {{"screenshot", kScreenshot}})}),
          {"/usr/lib/mozilla/native-messaging-hosts/org.kestro.share.json", "share@kestro.org"});
  ASSERT_EQ(excluded.answers.size(), 1u);
  EXPECT_EQ(excluded.answers[0]["outcome"], "refused");
  EXPECT_NE(excluded.answers[0]["message"].get<std::string>().find("KestroBrowserHostTests"),
            std::string::npos);

  fs::remove(root_ / "config" / "kestro" / "settings.json");
  const HostRun incognito = run(frames({share("d", {{"incognito", true}})}));
  ASSERT_EQ(incognito.answers.size(), 1u);
  EXPECT_EQ(incognito.answers[0]["outcome"], "refused");
  EXPECT_EQ(incognito.answers[0]["ok"], false);

  EXPECT_TRUE(records().empty());
  EXPECT_TRUE(stagedFiles().empty());
  EXPECT_FALSE(shared().string("kestro.shared-capture-revision").has_value());
}

// Which requests are bad is decoding's business (NativeMessagingTests); here, that the host
// answers each under its id, stages nothing for it, and goes on.
TEST_F(BrowserHostTest, BadRequestsAreAnsweredAndTheNextOneStillCounts) {
  signIn();
  const HostRun result =
      run(framed("") + framed("{\"id\":\"x\",\"type\":\"status\",\"url\":\"\xc3\x28\"}") +
          frames({share("jpeg", {{"screenshot", "data:image/png;base64,/9j/4AAQSkZJRgABAQ=="}}),
                  share("nourl", {{"url", "not an address"}}), share("fine")}));
  EXPECT_EQ(result.status, 0);
  ASSERT_EQ(result.answers.size(), 5u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(result.answers[i]["outcome"], "invalidRequest");
  EXPECT_FALSE(result.answers[1].contains("id"));
  EXPECT_EQ(result.answers[2]["id"], "jpeg");
  EXPECT_EQ(result.answers[4]["outcome"], "stored");
  EXPECT_EQ(records().size(), 1u);
  EXPECT_TRUE(stagedFiles().empty());
}

TEST_F(BrowserHostTest, ABrokenFrameIsAnsweredAndEndsTheHostKeepingWhatCameBefore) {
  signIn();
  std::string oversize(4, '\0');
  const std::uint32_t huge = 0xFFFFFFF0u;
  std::memcpy(oversize.data(), &huge, 4);
  const HostRun tooLong = run(frames({share("first")}) + oversize + "{\"id\":\"never\"}");
  EXPECT_EQ(tooLong.status, 1);
  ASSERT_EQ(tooLong.answers.size(), 2u);
  EXPECT_EQ(tooLong.answers[0]["outcome"], "stored");
  EXPECT_EQ(tooLong.answers[1]["outcome"], "invalidRequest");
  EXPECT_TRUE(tooLong.trailing.empty());

  const std::string cut = framed(share("cut", {{"screenshot", kScreenshot}}).dump());
  const HostRun cutShort = run(cut.substr(0, cut.size() - 5));
  EXPECT_EQ(cutShort.status, 1);
  ASSERT_EQ(cutShort.answers.size(), 1u);
  EXPECT_EQ(cutShort.answers[0]["outcome"], "invalidRequest");
  EXPECT_EQ(records().size(), 1u);
  EXPECT_TRUE(stagedFiles().empty());
}

TEST_F(BrowserHostTest, ADamagedOutboxFailsTheShareAndLeavesNoFiles) {
  signIn();
  fs::create_directories(storage());
  std::ofstream(storage() / "kestro.sqlite") << std::string(8192, 'x');
  const HostRun result = run(frames({share("a", {{"screenshot", kScreenshot}})}));
  ASSERT_EQ(result.answers.size(), 1u);
  EXPECT_EQ(result.answers[0]["outcome"], "failed");
  EXPECT_EQ(result.answers[0]["id"], "a");
  EXPECT_TRUE(stagedFiles().empty());
}

TEST_F(BrowserHostTest, HelpAndAWrongCommandLine) {
  const HostRun help = run("", {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.trailing.find("org.kestro.share"), std::string::npos);
  EXPECT_EQ(run("", {"--frobnicate"}).status, 2);
}

}  // namespace
}  // namespace kestro::browserhost
