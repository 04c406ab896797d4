#include "KestroCore/Models/CaptureEnvelope.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

using namespace std::chrono_literals;

// The identifier 00000000-0000-4000-8000-00000000000N.
UUID id(int n) {
  return *UUID::fromString("00000000-0000-4000-8000-00000000000" + std::to_string(n));
}

CaptureEnvelope minimalEnvelope() {
  return CaptureEnvelope(id(1), Date{1741064767s}, SourceKind::note,
                         CaptureOrigin{KestroPlatform::ios, CaptureMechanism::manual, id(2), "1",
                                       std::nullopt, std::nullopt, std::nullopt},
                         {}, {}, {}, {}, {}, {}, {}, {}, CapturePrivacy{false, false, false});
}

CaptureEnvelope populatedEnvelope() {
  CaptureEnvelope envelope = minimalEnvelope();
  envelope.sourceKind = SourceKind::pdf;
  envelope.origin = {
      KestroPlatform::macos, CaptureMechanism::shareExtension, id(2), "1.4.2", "Files",
      "org.example.files",   "Quarterly report — draft"};
  envelope.url = URL::fromString("https://example.com/report.pdf?x=1#page=2");
  envelope.title = "Quarterly report";
  envelope.selectedText = "selected words";
  envelope.visibleText = "visible words";
  envelope.ocrText = "recognised words";
  envelope.annotation = "my note";
  envelope.taskIntent = TaskIntent{.requested = true, .dueText = "next Friday"};
  envelope.assets = {CaptureAsset{id(3), id(4), "report.pdf", "application/pdf", 5'000'000'000,
                                  std::string(64, 'a'), AssetRole::primary},
                     CaptureAsset{id(5), id(6), "thumb.png", "image/png", 0, std::string(64, '0'),
                                  AssetRole::thumbnail}};
  envelope.privacy = CapturePrivacy{true, false, true};
  return envelope;
}

// The minimal envelope as the wire and the outbox carry it.
constexpr const char* kMinimalJSON =
    R"({"assets":[],"capturedAt":"2025-03-04T05:06:07Z",)"
    R"("clientCaptureId":"00000000-0000-4000-8000-000000000001",)"
    R"("origin":{"appVersion":"1","deviceId":"00000000-0000-4000-8000-000000000002",)"
    R"("mechanism":"manual","platform":"ios"},)"
    R"("privacy":{"privateWindowDetected":false,"redactionsApplied":false,)"
    R"("screenshotIncluded":false},"schemaVersion":1,"sourceKind":"note"})";

TEST(CaptureEnvelopeTest, RoundTripsPopulatedAndMinimalEnvelopes) {
  for (const auto& envelope : {populatedEnvelope(), minimalEnvelope()}) {
    EXPECT_EQ(decodeJSONString<CaptureEnvelope>(encodeJSONString(envelope)), envelope);
  }
  // Absent optionals are left out, the empty asset list is written, keys come out sorted.
  EXPECT_EQ(encodeJSONString(minimalEnvelope()), kMinimalJSON);

  const JSON populated = encodeJSON(populatedEnvelope());
  EXPECT_EQ(populated["assets"][0]["byteCount"], 5'000'000'000);
  EXPECT_EQ(populated["taskIntent"], JSON::parse(R"({"dueText":"next Friday","requested":true})"));

  // The schema version is kept from the document, and alone makes two envelopes differ.
  JSON document = JSON::parse(kMinimalJSON);
  document["schemaVersion"] = 2;
  const auto decoded = decodeJSON<CaptureEnvelope>(document);
  EXPECT_EQ(decoded.schemaVersion(), 2);
  EXPECT_EQ(encodeJSON(decoded)["schemaVersion"], 2);
  EXPECT_NE(decoded, minimalEnvelope());
}

TEST(CaptureEnvelopeTest, MalformedDocumentsFailNamingTheField) {
  const auto failingPath = [](const JSON& damaged) -> std::string {
    try {
      decodeJSON<CaptureEnvelope>(damaged);
    } catch (const DecodingError& error) {
      return error.codingPath();
    }
    return "(decoded)";
  };
  JSON damaged = encodeJSON(populatedEnvelope());
  damaged["assets"][1]["role"] = "Thumbnail";
  EXPECT_EQ(failingPath(damaged), "assets[1].role");
  damaged = encodeJSON(populatedEnvelope());
  damaged["taskIntent"].erase("requested");
  EXPECT_EQ(failingPath(damaged), "taskIntent.requested");
}

}  // namespace
}  // namespace kestro
