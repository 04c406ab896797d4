#include "KestroCore/Models/CaptureEnvelope.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace kestro {
namespace {

using namespace std::chrono_literals;

UUID uuid(const char* text) { return *UUID::fromString(text); }

CaptureEnvelope populatedEnvelope() {
  return CaptureEnvelope(
      uuid("11111111-2222-4333-8444-555555555555"), Date{1741064767s}, SourceKind::pdf,
      CaptureOrigin{.platform = KestroPlatform::macos,
                    .mechanism = CaptureMechanism::shareExtension,
                    .deviceId = uuid("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE"),
                    .appVersion = "1.4.2",
                    .sourceApplication = "Files",
                    .sourceBundleId = "org.example.files",
                    .windowTitle = "Quarterly report — draft"},
      URL::fromString("https://example.com/report.pdf?x=1#page=2"), "Quarterly report",
      "selected words", "visible words", "recognised words", "my note",
      TaskIntent{.requested = true, .dueText = "next Friday"},
      {CaptureAsset{.clientAssetId = uuid("00000000-0000-4000-8000-000000000001"),
                    .uploadId = uuid("00000000-0000-4000-8000-000000000002"),
                    .filename = "report.pdf",
                    .declaredMimeType = "application/pdf",
                    .byteCount = 5'000'000'000,
                    .sha256 = std::string(64, 'a'),
                    .role = AssetRole::primary},
       CaptureAsset{.clientAssetId = uuid("00000000-0000-4000-8000-000000000003"),
                    .uploadId = uuid("00000000-0000-4000-8000-000000000004"),
                    .filename = "thumb.png",
                    .declaredMimeType = "image/png",
                    .byteCount = 0,
                    .sha256 = std::string(64, '0'),
                    .role = AssetRole::thumbnail}},
      CapturePrivacy{.screenshotIncluded = true, .redactionsApplied = false,
                     .privateWindowDetected = true});
}

CaptureEnvelope minimalEnvelope() {
  return CaptureEnvelope(uuid("11111111-2222-4333-8444-555555555555"), Date{1741064767s},
                         SourceKind::note,
                         CaptureOrigin{.platform = KestroPlatform::ios,
                                       .mechanism = CaptureMechanism::manual,
                                       .deviceId = uuid("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE"),
                                       .appVersion = "1",
                                       .sourceApplication = {},
                                       .sourceBundleId = {},
                                       .windowTitle = {}},
                         {}, {}, {}, {}, {}, {}, {}, {},
                         CapturePrivacy{false, false, false});
}

// The minimal envelope as the wire and the outbox carry it.
constexpr const char* kMinimalJSON =
    R"({"assets":[],"capturedAt":"2025-03-04T05:06:07Z",)"
    R"("clientCaptureId":"11111111-2222-4333-8444-555555555555",)"
    R"("origin":{"appVersion":"1","deviceId":"AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE",)"
    R"("mechanism":"manual","platform":"ios"},)"
    R"("privacy":{"privateWindowDetected":false,"redactionsApplied":false,)"
    R"("screenshotIncluded":false},"schemaVersion":1,"sourceKind":"note"})";

TEST(CaptureEnvelopeTest, RoundTripsPopulatedAndMinimalEnvelopes) {
  for (const auto& envelope : {populatedEnvelope(), minimalEnvelope()}) {
    EXPECT_EQ(envelope.schemaVersion(), 1);
    EXPECT_EQ(decodeJSONString<CaptureEnvelope>(encodeJSONString(envelope)), envelope);
  }
  // Absent optionals are left out, the empty asset list is written, keys come out sorted.
  EXPECT_EQ(encodeJSONString(minimalEnvelope()), kMinimalJSON);

  const JSON populated = encodeJSON(populatedEnvelope());
  EXPECT_EQ(populated["url"], "https://example.com/report.pdf?x=1#page=2");
  EXPECT_EQ(populated["assets"][0]["byteCount"], 5'000'000'000);
  EXPECT_EQ(populated["assets"][1]["role"], "thumbnail");
  EXPECT_EQ(populated["origin"]["mechanism"], "share_extension");
  EXPECT_EQ(populated["taskIntent"], JSON::parse(R"({"dueText":"next Friday","requested":true})"));

  auto noDueText = populatedEnvelope();
  noDueText.taskIntent = TaskIntent{.requested = true, .dueText = {}};
  EXPECT_EQ(encodeJSON(noDueText)["taskIntent"], JSON::parse(R"({"requested":true})"));
}

TEST(CaptureEnvelopeTest, DatesKeepWholeSecondsOnly) {
  auto envelope = minimalEnvelope();
  envelope.capturedAt += 750ms;
  const auto decoded = decodeJSONString<CaptureEnvelope>(encodeJSONString(envelope));
  EXPECT_EQ(decoded.capturedAt, Date{1741064767s});
  EXPECT_NE(decoded, envelope);
}

TEST(CaptureEnvelopeTest, SchemaVersionIsKeptFromTheDocument) {
  JSON document = JSON::parse(kMinimalJSON);
  document["schemaVersion"] = 2;
  const auto decoded = decodeJSON<CaptureEnvelope>(document);
  EXPECT_EQ(decoded.schemaVersion(), 2);
  EXPECT_EQ(encodeJSON(decoded)["schemaVersion"], 2);
  // Everything else equal, the version alone makes them differ.
  EXPECT_NE(decoded, minimalEnvelope());
  // Replacing the other fields leaves the version as it was.
  auto copy = decoded;
  copy.title = "changed";
  EXPECT_EQ(copy.schemaVersion(), 2);
}

TEST(CaptureEnvelopeTest, NullReadsAsAbsentAndUnknownKeysAreIgnored) {
  JSON document = JSON::parse(kMinimalJSON);
  document["title"] = nullptr;
  document["taskIntent"] = nullptr;
  document["origin"]["windowTitle"] = nullptr;
  document["somethingNew"] = {{"nested", true}};
  document["origin"]["futureField"] = 3;
  const auto decoded = decodeJSON<CaptureEnvelope>(document);
  EXPECT_EQ(decoded, minimalEnvelope());
  EXPECT_EQ(encodeJSONString(decoded), kMinimalJSON);
  // Lower-case identifiers are read too.
  document["clientCaptureId"] = "11111111-2222-4333-8444-55555555555f";
  EXPECT_EQ(decodeJSON<CaptureEnvelope>(document).clientCaptureId.uuidString(),
            "11111111-2222-4333-8444-55555555555F");
}

TEST(CaptureEnvelopeTest, MalformedDocumentsFailNamingTheField) {
  const JSON valid = encodeJSON(populatedEnvelope());
  struct Case {
    const char* pointer;  // the member to damage, as a JSON pointer
    JSON replacement;     // nullptr in `remove` cases means: delete it
    bool remove;
    const char* codingPath;
  };
  const Case cases[] = {
      {"/assets", nullptr, true, "assets"},
      {"/assets", nullptr, false, "assets"},
      {"/privacy", nullptr, true, "privacy"},
      {"/privacy/redactionsApplied", "false", false, "privacy.redactionsApplied"},
      {"/schemaVersion", 1.5, false, "schemaVersion"},
      {"/sourceKind", "website", false, "sourceKind"},
      {"/sourceKind", "URL", false, "sourceKind"},
      {"/assets/1/role", "Thumbnail", false, "assets[1].role"},
      {"/assets/0/byteCount", "12", false, "assets[0].byteCount"},
      {"/assets/0/uploadId", nullptr, false, "assets[0].uploadId"},
      {"/origin/deviceId", "{AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE}", false, "origin.deviceId"},
      {"/origin/platform", "linux", false, "origin.platform"},
      {"/origin/appVersion", nullptr, true, "origin.appVersion"},
      {"/url", "not a url", false, "url"},
      {"/url", "https://exa mple.com", false, "url"},
      {"/capturedAt", "2025-03-04T05:06:07.123Z", false, "capturedAt"},
      {"/capturedAt", 1741064767, false, "capturedAt"},
      {"/taskIntent/requested", nullptr, true, "taskIntent.requested"},
      {"/clientCaptureId", nullptr, false, "clientCaptureId"},
  };
  for (const auto& c : cases) {
    JSON damaged = valid;
    const JSON::json_pointer pointer(c.pointer);
    if (c.remove) {
      damaged[pointer.parent_pointer()].erase(pointer.back());
    } else {
      damaged[pointer] = c.replacement;
    }
    try {
      decodeJSON<CaptureEnvelope>(damaged);
      ADD_FAILURE() << "decoded with " << c.pointer << " damaged";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.codingPath(), c.codingPath) << error.what();
    }
  }
}

TEST(CaptureEnvelopeTest, EnumerationsReadOnlyTheirExactRawValues) {
  EXPECT_EQ(fromRawValue<SourceKind>("video_file"), SourceKind::videoFile);
  EXPECT_EQ(fromRawValue<SourceKind>("videoFile"), std::nullopt);
  EXPECT_EQ(fromRawValue<AssetRole>("Primary"), std::nullopt);
  EXPECT_EQ(fromRawValue<CaptureMechanism>(""), std::nullopt);
  // Every case's raw value leads back to that case, in the declared order.
  const auto kinds = allCases<SourceKind>();
  ASSERT_EQ(kinds.size(), 8u);
  EXPECT_EQ(kinds.front(), SourceKind::url);
  EXPECT_EQ(kinds.back(), SourceKind::note);
  for (auto kind : kinds) EXPECT_EQ(fromRawValue<SourceKind>(rawValue(kind)), kind);
}

}  // namespace
}  // namespace kestro
