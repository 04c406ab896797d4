#include "KestroCore/MacShareExtension/internal/ShareCaptureEnqueue.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "KestroCore/OutboxStore/AssetStager.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro::share {

namespace fs = std::filesystem;

fs::path captureDirectory(const fs::path& storageDirectory, const UUID& clientCaptureId) {
  return storageDirectory / places::kAttachmentsDirectoryName / clientCaptureId.uuidString();
}

std::vector<StagedAsset> stageFiles(const ShareSelection& selection, const fs::path& directory,
                                    const std::vector<HandedOverFile>& handedOverFiles) {
  std::vector<StagedAsset> staged;
  const URL directoryURL = URL::fileURL(directory);
  for (const ShareRepresentation& representation : selection.files) {
    const ShareRepresentation::LocalFile* file = representation.localFile();
    if (!file) continue;
    const AssetRole role = staged.empty() ? AssetRole::primary : AssetRole::attachment;
    const std::optional<fs::path> path = file->url.filePath();
    const auto handedOver =
        std::find_if(handedOverFiles.begin(), handedOverFiles.end(),
                     [&](const HandedOverFile& given) { return path && given.path == *path; });
    staged.push_back(
        handedOver != handedOverFiles.end()
            ? AssetStager::stageByMoving(file->url, directoryURL, handedOver->mimeType, role)
            : AssetStager::stage(file->url, directoryURL, file->mimeType, role));
  }
  return staged;
}

std::unique_ptr<OutboxStore> openOutbox(const fs::path& storageDirectory) {
  return std::make_unique<OutboxStore>(URL::fileURL(storageDirectory / places::kDatabaseFileName));
}

OutboxRecord enqueueAndPublish(std::unique_ptr<OutboxStore> store, const UUID& userId,
                               const CaptureEnvelope& capture,
                               const std::vector<StagedAsset>& stagedAssets,
                               const UserDefaults& sharedSettings) {
  OutboxRecord record = store->enqueue(userId, capture, stagedAssets);
  // Closing the store checkpoints the database, flushing it to disk, and the revision is
  // flushed to disk too: the two run side by side, so that the file system can commit them
  // together. The record is already durable, so neither depends on the other.
  std::thread closing;
  try {
    closing = std::thread([store = std::move(store)]() mutable { store.reset(); });
  } catch (const std::system_error&) {
    // No thread to spare: the store went with the unstarted work, closed right here.
  }
  try {
    sharedSettings.set(UUID().uuidString(), places::kSharedCaptureRevisionKey);
  } catch (const std::exception&) {
    // See the header: the capture is stored, and that is what the user asked for.
  }
  if (closing.joinable()) closing.join();
  return record;
}

}  // namespace kestro::share
