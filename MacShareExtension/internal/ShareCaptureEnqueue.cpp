#include "MacShareExtension/internal/ShareCaptureEnqueue.h"

#include <exception>

#include "KestroCore/Outbox/Store/AssetStager.h"
#include "Platform/Storage/KestroPlaces.h"

namespace kestro::share {

namespace fs = std::filesystem;

fs::path captureDirectory(const fs::path& storageDirectory, const UUID& clientCaptureId) {
  return storageDirectory / places::kAttachmentsDirectoryName / clientCaptureId.uuidString();
}

std::vector<StagedAsset> stageFiles(const ShareSelection& selection, const fs::path& directory) {
  std::vector<StagedAsset> staged;
  const URL directoryURL = URL::fileURL(directory);
  for (const ShareRepresentation& representation : selection.files) {
    const ShareRepresentation::LocalFile* file = representation.localFile();
    if (!file) continue;
    const AssetRole role = staged.empty() ? AssetRole::primary : AssetRole::attachment;
    staged.push_back(AssetStager::stage(file->url, directoryURL, file->mimeType, role));
  }
  return staged;
}

std::unique_ptr<OutboxStore> openOutbox(const fs::path& storageDirectory) {
  return std::make_unique<OutboxStore>(URL::fileURL(storageDirectory / places::kDatabaseFileName));
}

void enqueueAndPublish(OutboxStore& store, const UUID& userId, const CaptureEnvelope& capture,
                       const std::vector<StagedAsset>& stagedAssets,
                       const UserDefaults& sharedSettings) {
  store.enqueue(userId, capture, stagedAssets);
  try {
    sharedSettings.set(UUID().uuidString(), places::kSharedCaptureRevisionKey);
  } catch (const std::exception&) {
    // See the header: the capture is stored, and that is what the user asked for.
  }
}

}  // namespace kestro::share
