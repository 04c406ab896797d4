#pragma once

// Helpers shared by the tests of KestroCore/Application (header-only, for programs that link
// it): a temporary XDG tree with the places the application and the share target meet in, and
// outbox records to describe and plan with. Not installed.

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationPlaces.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/Platform/Storage/Bundle.h"
#include "KestroCore/Platform/Storage/UserDirectories.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro::testsupport {

// A fresh directory with config/, data/ and tmp/ in it, removed when the object goes.
class TemporaryTree {
 public:
  TemporaryTree() : root_(directory_.path()) {
    for (const char* name : {"config", "data", "tmp"})
      std::filesystem::create_directory(root_ / name);
  }
  TemporaryTree(const TemporaryTree&) = delete;
  TemporaryTree& operator=(const TemporaryTree&) = delete;

  const std::filesystem::path& root() const noexcept { return root_; }
  UserDirectories directories() const {
    return UserDirectories(root_ / "config", root_ / "data", root_ / "tmp");
  }
  // The places of a build whose information dictionary names no application group.
  ApplicationPlaces places() const {
    return ApplicationPlaces(Bundle({{"CFBundleShortVersionString", std::string("9.8.7")}}),
                             directories());
  }

 private:
  TemporaryDirectory directory_{"kestro-app"};
  std::filesystem::path root_;
};

// How `act` refused: the status and message of the ApplicationError it threw; ok when it threw
// none.
struct Refusal {
  ExitStatus status = ExitStatus::ok;
  std::string message;
};
template <class Act>
Refusal refusalOf(Act&& act) {
  try {
    std::forward<Act>(act)();
  } catch (const ApplicationError& error) {
    return {error.status(), error.what()};
  }
  return {};
}

// A record in `state`, with `files` staged files of which `uploaded` carry an upload id.
inline OutboxRecord outboxRecord(CaptureOutboxState state, std::size_t files = 0,
                                 std::size_t uploaded = 0) {
  using namespace std::chrono_literals;
  const Date at{1741064767s};
  std::vector<StagedAsset> assets;
  for (std::size_t i = 0; i < files; ++i) {
    assets.push_back(StagedAsset{.clientAssetId = UUID(),
                                 .localURL = URL::fileURL("/tmp/staged-" + std::to_string(i)),
                                 .filename = "file-" + std::to_string(i) + ".txt",
                                 .mimeType = "text/plain",
                                 .byteCount = 3,
                                 .sha256 = std::string(64, 'a'),
                                 .role = i == 0 ? AssetRole::primary : AssetRole::attachment,
                                 .uploadId = i < uploaded ? std::optional(UUID()) : std::nullopt});
  }
  return OutboxRecord{
      .userId = UUID(),
      .state = state,
      .resumeState = std::nullopt,
      .capture = CaptureEnvelope(
          UUID(), at, SourceKind::note,
          CaptureOrigin{KestroPlatform::macos, CaptureMechanism::manual, UUID(), "1.0", {}, {}, {}},
          std::nullopt, std::nullopt, std::string("a thought"), std::nullopt, std::nullopt,
          std::nullopt, std::nullopt, {}, CapturePrivacy{false, false, false}),
      .stagedAssets = std::move(assets),
      .attemptCount = 0,
      .createdAt = at,
      .updatedAt = at};
}

// A record waiting to retry at `at` after `code`.
inline OutboxRecord waitingRecord(Date at, std::string code, std::int64_t attempts = 1) {
  OutboxRecord record = outboxRecord(CaptureOutboxState::retryWait);
  record.nextRetryAt = at;
  record.lastErrorCode = std::move(code);
  record.attemptCount = attempts;
  return record;
}

}  // namespace kestro::testsupport
