#pragma once

// The steps of a share that touch the disk: staging the selection's files into the capture's own
// directory, opening the outbox, and enqueuing the capture followed by the revision that tells
// the application something new is there.

#include <filesystem>
#include <memory>
#include <vector>

#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/MacShareExtension/ExtensionSettings.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/OutboxStore/OutboxStore.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"
#include "KestroCore/Policies/ShareItemSelector.h"

namespace kestro::share {

// <storage directory>/attachments/<capture id>.
std::filesystem::path captureDirectory(const std::filesystem::path& storageDirectory,
                                       const UUID& clientCaptureId);

// Stages every file-like representation of `selection` into `directory`, in order: the first as
// the primary asset, the others as attachments. A file among `handedOverFiles` is moved there
// and keeps the media type it was handed over with; any other is copied. The first failure ends it
// with the stager's error; copies already made stay.
std::vector<StagedAsset> stageFiles(const ShareSelection& selection,
                                    const std::filesystem::path& directory,
                                    const std::vector<HandedOverFile>& handedOverFiles);

// A store on <storage directory>/kestro.sqlite, for this capture alone.
std::unique_ptr<OutboxStore> openOutbox(const std::filesystem::path& storageDirectory);

// Enqueues the capture for `userId` and, only once that has succeeded, writes a fresh revision
// into the shared suite while the store closes (closing checkpoints the database; the two disk
// flushes overlap). Returns once both are done. A failure to write the revision is not the
// capture's failure: the record is already safe, the application drains the outbox on its own
// schedule as well, and reporting the share as failed would only make the user share it twice.
// Returns the record enqueued.
OutboxRecord enqueueAndPublish(std::unique_ptr<OutboxStore> store, const UUID& userId,
                               const CaptureEnvelope& capture,
                               const std::vector<StagedAsset>& stagedAssets,
                               const UserDefaults& sharedSettings);

}  // namespace kestro::share
