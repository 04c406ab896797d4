#include "KestroCore/Outbox/OutboxRecord.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace kestro {
namespace {

using namespace std::chrono_literals;

UUID uuid(const char* text) { return *UUID::fromString(text); }

constexpr const char* kReportDigest =
    "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
constexpr const char* kEmptyDigest =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

CaptureEnvelope noteCapture(Date capturedAt) {
  return CaptureEnvelope(uuid("11111111-2222-4333-8444-555555555555"), capturedAt, SourceKind::note,
                         CaptureOrigin{.platform = KestroPlatform::macos,
                                       .mechanism = CaptureMechanism::shareExtension,
                                       .deviceId = uuid("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE"),
                                       .appVersion = "1.0",
                                       .sourceApplication = {},
                                       .sourceBundleId = {},
                                       .windowTitle = {}},
                         {}, {}, {}, {}, {}, "my note", {}, {},
                         CapturePrivacy{false, false, false});
}

StagedAsset stagedAsset(const std::filesystem::path& path, std::string filename) {
  return StagedAsset{.clientAssetId = uuid("00000000-0000-4000-8000-00000000000A"),
                     .localURL = URL::fileURL(path),
                     .filename = std::move(filename),
                     .mimeType = "application/pdf",
                     .byteCount = 5'000'000'000,
                     .sha256 = kReportDigest,
                     .role = AssetRole::primary};
}

// A record that has just been enqueued: every optional absent.
OutboxRecord freshRecord(Date createdAt) {
  return OutboxRecord{.userId = uuid("0A0B0C0D-0E0F-4000-8000-000000000001"),
                      .state = CaptureOutboxState::queued,
                      .capture = noteCapture(createdAt),
                      .stagedAssets = {},
                      .attemptCount = 0,
                      .createdAt = createdAt,
                      .updatedAt = createdAt};
}

// A record that failed twice while uploading, with every field set somewhere.
OutboxRecord retryingRecord() {
  OutboxRecord record = freshRecord(Date{1741064767s});
  record.state = CaptureOutboxState::retryWait;
  record.resumeState = CaptureOutboxState::uploadingAssets;
  auto uploaded = stagedAsset("/staging/report.pdf", "report.pdf");
  uploaded.uploadId = uuid("00000000-0000-4000-8000-00000000000B");
  auto pending = stagedAsset("/staging/thumb.png", "thumb.png");
  pending.clientAssetId = uuid("00000000-0000-4000-8000-00000000000C");
  pending.mimeType = "image/png";
  pending.byteCount = 0;
  pending.sha256 = kEmptyDigest;
  pending.role = AssetRole::thumbnail;
  record.stagedAssets = {uploaded, pending};
  record.attemptCount = 2;
  record.nextRetryAt = Date{1741064827s};
  record.lastErrorCode = "NETWORK_ERROR";
  record.serverCaptureId = uuid("00000000-0000-4000-8000-00000000000D");
  record.serverItemId = uuid("00000000-0000-4000-8000-00000000000E");
  record.updatedAt = Date{1741064770s};
  return record;
}

// The same record as the store writes it: sorted keys, whole-second dates, the second asset
// without "uploadId".
constexpr const char* kRetryingRecordJSON =
    R"({"attemptCount":2,)"
    R"("capture":{"annotation":"my note","assets":[],"capturedAt":"2025-03-04T05:06:07Z",)"
    R"("clientCaptureId":"11111111-2222-4333-8444-555555555555",)"
    R"("origin":{"appVersion":"1.0","deviceId":"AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE",)"
    R"("mechanism":"share_extension","platform":"macos"},)"
    R"("privacy":{"privateWindowDetected":false,"redactionsApplied":false,)"
    R"("screenshotIncluded":false},"schemaVersion":1,"sourceKind":"note"},)"
    R"("createdAt":"2025-03-04T05:06:07Z","lastErrorCode":"NETWORK_ERROR",)"
    R"("nextRetryAt":"2025-03-04T05:07:07Z","resumeState":"uploading_assets",)"
    R"("serverCaptureId":"00000000-0000-4000-8000-00000000000D",)"
    R"("serverItemId":"00000000-0000-4000-8000-00000000000E",)"
    R"("stagedAssets":[)"
    R"({"byteCount":5000000000,"clientAssetId":"00000000-0000-4000-8000-00000000000A",)"
    R"("filename":"report.pdf","localURL":"file:///staging/report.pdf",)"
    R"("mimeType":"application/pdf","role":"primary",)"
    R"("sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",)"
    R"("uploadId":"00000000-0000-4000-8000-00000000000B"},)"
    R"({"byteCount":0,"clientAssetId":"00000000-0000-4000-8000-00000000000C",)"
    R"("filename":"thumb.png","localURL":"file:///staging/thumb.png",)"
    R"("mimeType":"image/png","role":"thumbnail",)"
    R"("sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}],)"
    R"("state":"retry_wait","updatedAt":"2025-03-04T05:06:10Z",)"
    R"("userId":"0A0B0C0D-0E0F-4000-8000-000000000001"})";

TEST(OutboxRecordJSONTest, PopulatedRecordWritesTheListedKeysAndRoundTrips) {
  const OutboxRecord record = retryingRecord();
  EXPECT_EQ(encodeJSONString(record), kRetryingRecordJSON);
  EXPECT_EQ(decodeJSONString<OutboxRecord>(kRetryingRecordJSON), record);

  // UUIDs are read in either case; null reads as absent.
  JSON json = parseJSON(kRetryingRecordJSON);
  json["userId"] = "0a0b0c0d-0e0f-4000-8000-000000000001";
  json["serverItemId"] = nullptr;
  json["stagedAssets"][0]["uploadId"] = nullptr;
  const auto decoded = decodeJSON<OutboxRecord>(json);
  EXPECT_EQ(decoded.userId, record.userId);
  EXPECT_EQ(decoded.serverItemId, std::nullopt);
  EXPECT_EQ(decoded.stagedAssets[0].uploadId, std::nullopt);
}

TEST(OutboxRecordJSONTest, FreshRecordOmitsAbsentOptionalsAndLosesOnlyFractionsOfSeconds) {
  const Date created = Date{1741064767s} + 999ms;
  OutboxRecord record = freshRecord(created);
  record.updatedAt = created + 1500ms;

  const JSON json = encodeJSON(record);
  for (const char* key :
       {"resumeState", "nextRetryAt", "lastErrorCode", "serverCaptureId", "serverItemId"}) {
    EXPECT_FALSE(json.contains(key)) << key;
  }
  EXPECT_EQ(json.size(), 7u);
  EXPECT_EQ(json["createdAt"], "2025-03-04T05:06:07Z");
  EXPECT_EQ(json["updatedAt"], "2025-03-04T05:06:09Z");

  OutboxRecord expected = record;
  expected.createdAt = std::chrono::floor<std::chrono::seconds>(record.createdAt);
  expected.updatedAt = std::chrono::floor<std::chrono::seconds>(record.updatedAt);
  expected.capture.capturedAt = std::chrono::floor<std::chrono::seconds>(created);
  const auto decoded = decodeJSONString<OutboxRecord>(serializeJSON(json));
  EXPECT_NE(decoded, record);
  EXPECT_EQ(decoded, expected);
}

TEST(OutboxRecordJSONTest, AnyUnreadableFieldFailsTheWholeRecord) {
  struct Damage {
    const char* pointer;        // where the document is damaged
    std::optional<JSON> value;  // what goes there; nothing removes the key
    const char* codingPath;     // where the decoder must say it failed
  };
  const Damage damages[] = {
      {"/state", JSON("done"), "state"},
      {"/state", JSON("Retry_wait"), "state"},
      {"/resumeState", JSON("paused"), "resumeState"},
      {"/stagedAssets/1/role", JSON("cover"), "stagedAssets[1].role"},
      {"/capture/origin/mechanism", JSON("telepathy"), "capture.origin.mechanism"},
      {"/createdAt", JSON("2025-03-04T05:06:07.5Z"), "createdAt"},
      {"/capture/capturedAt", JSON("2025-03-04 05:06:07"), "capture.capturedAt"},
      {"/stagedAssets/0/localURL", JSON("/staging/report.pdf"), "stagedAssets[0].localURL"},
      {"/attemptCount", JSON(2.5), "attemptCount"},
      {"/userId", std::nullopt, "userId"},
      {"/state", std::nullopt, "state"},
      {"/capture", std::nullopt, "capture"},
      {"/updatedAt", std::nullopt, "updatedAt"},
      {"/stagedAssets/0/sha256", std::nullopt, "stagedAssets[0].sha256"},
  };
  const JSON intact = parseJSON(kRetryingRecordJSON);
  for (const auto& damage : damages) {
    JSON json = intact;
    const JSON::json_pointer pointer(damage.pointer);
    if (damage.value) {
      json[pointer] = *damage.value;
    } else {
      json[pointer.parent_pointer()].erase(pointer.back());
    }
    try {
      decodeJSON<OutboxRecord>(json);
      ADD_FAILURE() << damage.pointer << " decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.codingPath(), damage.codingPath) << error.what();
    }
  }
}

TEST(OutboxRecordJSONTest, LocalURLOfAnyFileNameIsEscapedAndReadsBackToTheSamePath) {
  struct Case {
    std::filesystem::path path;
    const char* url;
  };
  const Case cases[] = {
      {"/tmp/kestro staging/Résumé – final.pdf",
       "file:///tmp/kestro%20staging/R%C3%A9sum%C3%A9%20%E2%80%93%20final.pdf"},
      // Bytes that are not UTF-8 would make the record unwritable if they reached the JSON.
      {"/tmp/kestro/\xFF\xFEname\x80.bin", "file:///tmp/kestro/%FF%FEname%80.bin"},
      {"/tmp/a%20b#1?.txt", "file:///tmp/a%2520b%231%3F.txt"},
  };
  for (const auto& c : cases) {
    OutboxRecord record = freshRecord(Date{1741064767s});
    record.stagedAssets = {stagedAsset(c.path, "upload.bin")};
    const std::string text = encodeJSONString(record);
    EXPECT_EQ(parseJSON(text)["stagedAssets"][0]["localURL"], c.url);

    const auto decoded = decodeJSONString<OutboxRecord>(text);
    EXPECT_EQ(decoded, record);
    EXPECT_EQ(decoded.stagedAssets[0].localURL.filePath(), c.path) << c.url;
  }
}

TEST(OutboxRecordTest, IdentityIsTheCaptureId) {
  OutboxRecord record = retryingRecord();
  EXPECT_EQ(record.id(), uuid("11111111-2222-4333-8444-555555555555"));
  record.capture.clientCaptureId = uuid("99999999-2222-4333-8444-555555555555");
  EXPECT_EQ(record.id(), uuid("99999999-2222-4333-8444-555555555555"));
}

}  // namespace
}  // namespace kestro
