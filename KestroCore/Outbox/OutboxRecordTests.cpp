#include "KestroCore/Outbox/OutboxRecord.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kestro {
namespace {

using namespace std::chrono_literals;

// The identifier 00000000-0000-4000-8000-00000000000C for 'C'.
UUID id(char digit) {
  return *UUID::fromString("00000000-0000-4000-8000-00000000000" + std::string(1, digit));
}

StagedAsset stagedAsset(const std::filesystem::path& path, std::string filename) {
  return StagedAsset{id('A'),       URL::fileURL(path),   std::move(filename), "application/pdf",
                     5'000'000'000, std::string(64, 'f'), AssetRole::primary};
}

// A record that has just been enqueued: every optional absent.
OutboxRecord freshRecord(Date createdAt) {
  const CaptureOrigin origin{
      KestroPlatform::macos, CaptureMechanism::shareExtension, id('1'), "1.0", {}, {}, {}};
  return OutboxRecord{
      .userId = id('0'),
      .state = CaptureOutboxState::queued,
      .capture = CaptureEnvelope(id('2'), createdAt, SourceKind::note, origin, {}, {}, {}, {}, {},
                                 "my note", {}, {}, CapturePrivacy{false, false, false}),
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
  uploaded.uploadId = id('B');
  auto pending = stagedAsset("/staging/thumb.png", "thumb.png");
  pending.clientAssetId = id('C');
  pending.role = AssetRole::thumbnail;
  record.stagedAssets = {uploaded, pending};
  record.attemptCount = 2;
  record.nextRetryAt = Date{1741064827s};
  record.lastErrorCode = "NETWORK_ERROR";
  record.serverCaptureId = id('D');
  record.serverItemId = id('E');
  record.updatedAt = Date{1741064770s};
  return record;
}

TEST(OutboxRecordJSONTest, PopulatedRecordWritesTheListedKeysAndRoundTrips) {
  const OutboxRecord record = retryingRecord();
  EXPECT_EQ(decodeJSONString<OutboxRecord>(encodeJSONString(record)), record);

  JSON json = encodeJSON(record);
  EXPECT_EQ(json["capture"], encodeJSON(record.capture));
  EXPECT_EQ(serializeJSON(json["stagedAssets"][0]),
            R"({"byteCount":5000000000,"clientAssetId":"00000000-0000-4000-8000-00000000000A",)"
            R"("filename":"report.pdf","localURL":"file:///staging/report.pdf",)"
            R"("mimeType":"application/pdf","role":"primary","sha256":")" +
                std::string(64, 'f') + R"(","uploadId":"00000000-0000-4000-8000-00000000000B"})");
  EXPECT_FALSE(json["stagedAssets"][1].contains("uploadId"));
  json.erase("capture");
  json.erase("stagedAssets");
  EXPECT_EQ(
      serializeJSON(json),
      R"({"attemptCount":2,"createdAt":"2025-03-04T05:06:07Z",)"
      R"("lastErrorCode":"NETWORK_ERROR","nextRetryAt":"2025-03-04T05:07:07Z",)"
      R"("resumeState":"uploading_assets",)"
      R"("serverCaptureId":"00000000-0000-4000-8000-00000000000D",)"
      R"("serverItemId":"00000000-0000-4000-8000-00000000000E","state":"retry_wait",)"
      R"("updatedAt":"2025-03-04T05:06:10Z","userId":"00000000-0000-4000-8000-000000000000"})");
}

TEST(OutboxRecordJSONTest, FreshRecordOmitsAbsentOptionalsAndKeepsAnyFilesPath) {
  OutboxRecord record = freshRecord(Date{1741064767s} + 999ms);
  // Bytes that are not UTF-8 would make the record unwritable if they reached the JSON.
  const std::filesystem::path path = "/tmp/a%20b#1?\xFF\xFEname\x80.bin";
  record.stagedAssets = {stagedAsset(path, "upload.bin")};
  const std::string text = encodeJSONString(record);
  // No optional key: neither written as null nor at all.
  EXPECT_EQ(parseJSON(text).size(), 7u) << text;
  // Only the fractions of seconds are lost.
  OutboxRecord expected = freshRecord(Date{1741064767s});
  expected.stagedAssets = record.stagedAssets;
  const auto decoded = decodeJSONString<OutboxRecord>(text);
  EXPECT_EQ(decoded, expected);
  EXPECT_EQ(decoded.stagedAssets[0].localURL.filePath(), path);
}

// A record with one damaged field is refused whole, never half read: a relative file path
// would send prune or delete after the wrong file.
TEST(OutboxRecordJSONTest, AnyUnreadableFieldFailsTheWholeRecord) {
  const struct {
    const char* pointer;  // where the document is damaged
    JSON value;           // what goes there
    const char* codingPath;
  } damages[] = {
      {"/state", "Retry_wait", "state"},
      {"/stagedAssets/1/role", "cover", "stagedAssets[1].role"},
      {"/createdAt", "2025-03-04T05:06:07.5Z", "createdAt"},
      {"/stagedAssets/0/localURL", "/staging/report.pdf", "stagedAssets[0].localURL"},
      {"/capture", nullptr, "capture"},
  };
  const JSON intact = encodeJSON(retryingRecord());
  for (const auto& [pointer, value, codingPath] : damages) {
    JSON json = intact;
    json[JSON::json_pointer(pointer)] = value;
    try {
      decodeJSON<OutboxRecord>(json);
      ADD_FAILURE() << pointer << " decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.codingPath(), codingPath) << error.what();
    }
  }
}

}  // namespace
}  // namespace kestro
