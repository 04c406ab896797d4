// Uses the installed library the way an application would, and fails loudly if the installed
// headers and libraries do not agree: a value built here goes through the library's code
// (random UUIDs from OpenSSL, date parsing, JSON coding, the SQLite outbox) and must come back
// unchanged.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "KestroCore/Credentials/SecureTokenStore.h"
#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/OutboxStore/OutboxStore.h"
#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"
#ifdef KESTRO_INSTALL_TEST_WITH_API
#include "KestroCore/API/KestroAPIClient.h"
#include "KestroCore/OutboxProcessor/OutboxProcessor.h"
#include "KestroCore/Platform/HTTP/URLSession.h"
#endif

namespace {

int failures = 0;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "install test: %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  const kestro::UUID captureId;
  const std::string captureIdText = captureId.uuidString();
  check(captureIdText.size() == 36, "uuidString() is not 36 characters");
  check(kestro::UUID::fromString(captureIdText) == captureId, "UUID does not round-trip");
  check(kestro::UUID() != captureId, "two random UUIDs are equal");

  const std::optional<kestro::Date> capturedAt = kestro::parseInternetDate("2025-03-04T05:06:07Z");
  const std::optional<kestro::URL> url = kestro::URL::fromString("https://example.com/a?b=c");
  check(capturedAt.has_value(), "parseInternetDate refused a valid date");
  check(url.has_value(), "URL::fromString refused a valid URL");
  if (!capturedAt || !url) return 1;

  const kestro::CaptureEnvelope envelope(
      captureId, *capturedAt, kestro::SourceKind::url,
      kestro::CaptureOrigin{
          .platform = kestro::KestroPlatform::macos,
          .mechanism = kestro::CaptureMechanism::shareExtension,
          .deviceId = kestro::UUID(),
          .appVersion = "1.0",
          .sourceApplication = "Browser",
          .sourceBundleId = std::nullopt,
          .windowTitle = std::nullopt,
      },
      url, "A page", std::nullopt, std::nullopt, std::nullopt, "read later",
      kestro::TaskIntent{.requested = true, .dueText = "tomorrow"}, {},
      kestro::CapturePrivacy{
          .screenshotIncluded = false, .redactionsApplied = false, .privateWindowDetected = false});

  try {
    const std::string text = kestro::encodeJSONString(envelope);
    check(text.find("\"" + captureIdText + "\"") != std::string::npos,
          "encoded envelope lacks the capture identifier");
    check(text.find("\"2025-03-04T05:06:07Z\"") != std::string::npos,
          "encoded envelope lacks the capture date");
    check(kestro::decodeJSONString<kestro::CaptureEnvelope>(text) == envelope,
          "envelope does not round-trip through JSON");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "install test: JSON coding threw: %s\n", error.what());
    return 1;
  }

  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("kestro-install-test-" + captureIdText);
  try {
    kestro::OutboxStore store(kestro::URL::fileURL(directory / "outbox.sqlite"));
    const kestro::UUID userId;
    store.enqueue(userId, envelope, {});
    const std::optional<kestro::OutboxRecord> record = store.record(captureId);
    check(record.has_value(), "the outbox lost the enqueued capture");
    check(record && record->capture == envelope && record->userId == userId,
          "the outbox returned another capture than the one enqueued");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "install test: the outbox threw: %s\n", error.what());
    ++failures;
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);

  // On a keychain in memory, so that no keyring is touched; the store's library still brings the
  // Secret Service keychain and libsecret to the link.
  try {
    const kestro::SecureTokenStore tokens("org.kestro.install-test",
                                          std::make_shared<kestro::InMemoryKeychain>());
    tokens.save("token", "account");
    check(tokens.load("account") == "token", "the token store lost a saved token");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "install test: the token store threw: %s\n", error.what());
    ++failures;
  }

#ifdef KESTRO_INSTALL_TEST_WITH_API
  // Nothing listens on port 9 of the loopback: the call must come back as a transport failure,
  // which proves the client, the session and libcurl are linked and talk to each other.
  try {
    const kestro::KestroAPIClient api(*kestro::URL::fromString("http://127.0.0.1:9"),
                                      kestro::makeURLSession(), {});
    api.listItems("token");
    check(false, "a request to a closed port succeeded");
  } catch (const kestro::KestroAPIError& error) {
    check(error.code() == "NETWORK_ERROR", "a closed port was not a transport failure");
  }

  // The processor, against the same closed port: the capture waits for a retry.
  const std::filesystem::path processorDirectory = directory.string() + "-processor";
  try {
    auto store = std::make_shared<kestro::OutboxStore>(
        kestro::URL::fileURL(processorDirectory / "outbox.sqlite"));
    const kestro::UUID userId;
    store->enqueue(userId, envelope, {});
    kestro::OutboxProcessor processor(
        store,
        kestro::KestroAPIClient(*kestro::URL::fromString("http://127.0.0.1:9"),
                                kestro::makeURLSession(), {}),
        kestro::RetryPolicy(1, 60));
    processor.flush(userId, "token");
    const std::optional<kestro::OutboxRecord> record = store->record(captureId);
    check(record && record->state == kestro::CaptureOutboxState::retryWait &&
              record->lastErrorCode == "NETWORK_ERROR",
          "the processor did not record the failed submission");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "install test: the processor's outbox threw: %s\n", error.what());
    ++failures;
  }
  std::filesystem::remove_all(processorDirectory, ignored);
#endif

  if (failures != 0) return 1;
  std::printf("install test: KestroCore works from the installed tree\n");
  return 0;
}
