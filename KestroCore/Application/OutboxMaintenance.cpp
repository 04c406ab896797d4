#include "KestroCore/Application/OutboxMaintenance.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <system_error>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/RecordDescription.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/OutboxStore/AssetStager.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"
#include "KestroCore/Platform/Storage/UserDirectories.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

// What an export writes is as private as the outbox it comes from, whatever the umask.
constexpr mode_t kPrivateFolderMode = S_IRWXU;
constexpr mode_t kPrivateFileMode = S_IRUSR | S_IWUSR;

// Copies a staged file into a new file of the user's alone: a copy made by
// std::filesystem::copy_file would take the source's mode instead.
void copyPrivately(const fs::path& source, const fs::path& target) {
  constexpr std::size_t kChunkBytes = 256 * 1024;
  const FileDescriptor from = files::openRegularFileForReading(source);
  const FileDescriptor to = files::createNewFile(target, kPrivateFileMode);
  const auto buffer = std::make_unique_for_overwrite<char[]>(kChunkBytes);
  while (const std::size_t size = files::readSome(from.get(), buffer.get(), kChunkBytes, source)) {
    files::writeAll(to.get(), buffer.get(), size, target);
  }
}

// The modification time of `path` itself (a link is not followed); nothing when it is gone.
std::optional<Date> modificationTime(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  return Date(
      std::chrono::duration_cast<Date::duration>(std::chrono::seconds(status.st_mtim.tv_sec) +
                                                 std::chrono::nanoseconds(status.st_mtim.tv_nsec)));
}

// Whether `path` lies strictly inside `directory`, by their text alone.
bool isInside(const fs::path& path, const fs::path& directory) {
  const fs::path relative =
      path.lexically_normal().lexically_relative(directory.lexically_normal());
  if (relative.empty() || relative == ".") return false;
  return *relative.begin() != "..";
}

// Whether `path` is a file straight in a capture's own directory under `attachments`, and that
// directory is a real one: through a link in its place, removing the file would remove whatever
// the link leads to. What is not removed here is left to the sweep of unreferenced directories,
// which never follows links.
bool inOwnDirectory(const fs::path& path, const fs::path& attachments) {
  const fs::path directory = path.lexically_normal().parent_path();
  if (directory.parent_path() != attachments.lexically_normal()) return false;
  std::error_code error;
  return fs::is_directory(fs::symlink_status(directory, error)) && !error;
}

// Removes one file, adding it to the report; a file already gone is skipped.
void removeFile(const fs::path& path, PruneReport& report) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (error || !fs::exists(status)) return;
  std::error_code sizeError;
  const std::uint64_t size = fs::is_regular_file(status) ? fs::file_size(path, sizeError) : 0;
  if (fs::remove(path, error)) {
    report.removedFiles.push_back(path);
    report.freedBytes += sizeError ? 0 : size;
    return;
  }
  if (error && error != std::errc::no_such_file_or_directory) {
    throw fs::filesystem_error("cannot remove a staged file", path, error);
  }
}

// The bytes of the regular files under `directory`, links not followed.
std::uint64_t bytesUnder(const fs::path& directory) {
  std::uint64_t total = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError) && !it->is_symlink(sizeError)) {
      const std::uintmax_t size = it->file_size(sizeError);
      if (!sizeError) total += size;
    }
  }
  return total;
}

// The newest modification time of `directory` and everything in it; nothing when it is gone.
std::optional<Date> newestModification(const fs::path& directory) {
  std::optional<Date> newest = modificationTime(directory);
  if (!newest) return std::nullopt;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    if (const auto time = modificationTime(it->path())) newest = std::max(*newest, *time);
  }
  // A directory that cannot be read cannot be judged: treat it as just changed.
  if (error) return Date::max();
  return newest;
}

std::string exportName(const std::string& filename, std::size_t position) {
  const std::string name = fs::path(filename).filename().string();
  if (isPlainFileName(name)) return name;
  return "file-" + std::to_string(position + 1);
}

// "name (2).ext" for the second file of that name, and so on.
fs::path unusedPath(const fs::path& directory, const std::string& name) {
  fs::path candidate = directory / name;
  const fs::path stem = fs::path(name).stem();
  const fs::path extension = fs::path(name).extension();
  for (int n = 2; fs::exists(fs::symlink_status(candidate)); ++n) {
    candidate = directory / (stem.string() + " (" + std::to_string(n) + ")" + extension.string());
  }
  return candidate;
}

}  // namespace

std::vector<fs::path> abandonedStagingDirectories(
    const fs::path& attachments, const std::function<bool(const UUID& captureId)>& isReferenced,
    Date cutoff) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator it(attachments, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code statusError;
    if (!it->is_directory(statusError) || it->is_symlink(statusError)) continue;
    const std::optional<UUID> id = UUID::fromString(it->path().filename().string());
    if (!id || isReferenced(*id)) continue;
    const std::optional<Date> newest = newestModification(it->path());
    if (newest && *newest < cutoff) found.push_back(it->path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

PruneReport pruneOutbox(OutboxStore& store, const fs::path& storageDirectory,
                        std::chrono::seconds olderThan, Date now) {
  PruneReport report;
  const fs::path attachments = storageDirectory / places::kAttachmentsDirectoryName;
  const Date recordCutoff = now - olderThan;
  const Date stagingCutoff = now - std::max<std::chrono::seconds>(olderThan, kStagingGracePeriod);

  // 1. The records, and exactly their files.
  std::set<fs::path> emptiedDirectories;
  for (const OutboxRecord& record : store.removeCompleted(recordCutoff)) {
    report.removedRecords.push_back(record.id());
    for (const StagedAsset& asset : record.stagedAssets) {
      const std::optional<fs::path> path = asset.localURL.filePath();
      if (!path || !isInside(*path, attachments) || !inOwnDirectory(*path, attachments)) continue;
      removeFile(*path, report);
      emptiedDirectories.insert(path->parent_path());
    }
  }
  for (const fs::path& directory : emptiedDirectories) {
    if (directory.parent_path().lexically_normal() != attachments.lexically_normal()) continue;
    std::error_code ignored;  // not empty (someone else's files, a leftover): left to step 2
    if (fs::remove(directory, ignored)) report.removedDirectories.push_back(directory);
  }

  // 2. Staging directories nobody refers to. A record that cannot be read still refers to its
  // directory: we do not delete what we cannot account for.
  const auto isReferenced = [&store](const UUID& id) {
    try {
      return store.record(id).has_value();
    } catch (const DecodingError&) {
      return true;
    }
  };
  for (const fs::path& directory :
       abandonedStagingDirectories(attachments, isReferenced, stagingCutoff)) {
    const std::uint64_t bytes = bytesUnder(directory);
    std::error_code error;
    fs::remove_all(directory, error);
    if (error && error != std::errc::no_such_file_or_directory) {
      throw fs::filesystem_error("cannot remove a staging directory", directory, error);
    }
    report.removedDirectories.push_back(directory);
    report.freedBytes += bytes;
  }

  // 3. Partial copies left in directories that records still use.
  std::error_code error;
  for (fs::directory_iterator it(attachments, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code statusError;
    if (!it->is_directory(statusError) || it->is_symlink(statusError)) continue;
    if (!UUID::fromString(it->path().filename().string())) continue;
    std::error_code innerError;
    for (fs::directory_iterator file(it->path(), innerError), fileEnd;
         !innerError && file != fileEnd; file.increment(innerError)) {
      if (!AssetStager::isUnfinishedCopyName(file->path().filename().string())) continue;
      const std::optional<Date> time = modificationTime(file->path());
      if (time && *time < stagingCutoff) removeFile(file->path(), report);
    }
  }
  return report;
}

SentFilesReport removeSentFiles(OutboxStore& store, const fs::path& storageDirectory,
                                std::chrono::seconds retention, Date now) {
  SentFilesReport report;
  const fs::path attachments = storageDirectory / places::kAttachmentsDirectoryName;
  const Date cutoff = now - retention;
  std::vector<std::pair<UUID, fs::path>> directories;
  std::error_code error;
  for (fs::directory_iterator it(attachments, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code statusError;
    if (!it->is_directory(statusError) || it->is_symlink(statusError)) continue;
    const std::string name = it->path().filename().string();
    const std::optional<UUID> id = UUID::fromString(name);
    if (id && id->uuidString() == name) directories.emplace_back(*id, it->path());
  }
  std::sort(directories.begin(), directories.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });

  for (const auto& [id, directory] : directories) {
    std::optional<OutboxRecord> record;
    try {
      record = store.record(id);
    } catch (const DecodingError&) {
      continue;  // we do not delete what we cannot account for
    }
    if (!record || record->state != CaptureOutboxState::complete || record->updatedAt > cutoff) {
      continue;
    }
    const std::uint64_t bytes = bytesUnder(directory);
    std::error_code removeError;
    fs::remove_all(directory, removeError);
    if (removeError && removeError != std::errc::no_such_file_or_directory) {
      report.failures.push_back(directory.string() + ": " + removeError.message());
      continue;
    }
    report.captures.push_back(id);
    report.freedBytes += bytes;
  }
  return report;
}

OutboxRecord retryNow(OutboxStore& store, const OutboxRecord& record, Date now) {
  const auto notWaiting = [&](const OutboxRecord& current) {
    const RecordDescription description = describeRecord(current, now);
    std::string message = "capture " + shortIdentifier(current.id()) +
                          " is not waiting to retry: it is " + description.text;
    if (description.standing == RecordStanding::needsAttention) {
      message += "; export it with: kestro outbox export " + shortIdentifier(current.id()) + " DIR";
    }
    return ApplicationError(ExitStatus::failure, message);
  };
  if (record.state != CaptureOutboxState::retryWait) throw notWaiting(record);
  try {
    return store.makeDue(record.id(), now);
  } catch (const OutboxError& error) {
    if (error.as<OutboxError::InvalidTransition>()) {
      // Another process moved it meanwhile.
      if (const std::optional<OutboxRecord> current = store.record(record.id())) {
        throw notWaiting(*current);
      }
    }
    if (error.as<OutboxError::RecordMissing>()) {
      throw ApplicationError(ExitStatus::failure, "capture " + shortIdentifier(record.id()) +
                                                      " is no longer in the outbox");
    }
    throw;
  }
}

OutboxRecord setAside(OutboxStore& store, const OutboxRecord& record) {
  using State = CaptureOutboxState;
  const auto cannot = [](const OutboxRecord& current) {
    const std::string name = "capture " + shortIdentifier(current.id());
    switch (current.state) {
      case State::blockedUserAction:
        return ApplicationError(ExitStatus::failure, name + " is set aside already");
      case State::accepted:
      case State::complete:
        return ApplicationError(ExitStatus::failure, name + " was sent; nothing to set aside");
      default:
        return ApplicationError(ExitStatus::failure, name + " is cancelled");
    }
  };
  // Sent is sent, although the state table would let an accepted record be blocked.
  const auto check = [&](const OutboxRecord& current) {
    if (current.state == State::accepted || current.state == State::blockedUserAction ||
        !canTransition(current.state, State::blockedUserAction)) {
      throw cannot(current);
    }
  };
  check(record);
  try {
    return store.transition(record.id(), State::blockedUserAction);
  } catch (const OutboxError& error) {
    // Another process finished or cancelled it meanwhile.
    if (error.as<OutboxError::InvalidTransition>()) {
      if (const std::optional<OutboxRecord> current = store.record(record.id())) check(*current);
    }
    if (error.as<OutboxError::RecordMissing>()) {
      throw ApplicationError(ExitStatus::failure, "capture " + shortIdentifier(record.id()) +
                                                      " is no longer in the outbox");
    }
    throw;
  }
}

ExportReport exportRecord(const OutboxRecord& record, const fs::path& destination) {
  ExportReport report;
  files::createDirectories(destination, kPrivateFolderMode);
  report.directory = destination / ("kestro-capture-" + record.id().uuidString());
  if (::mkdir(report.directory.c_str(), kPrivateFolderMode) != 0) {
    if (errno == EEXIST) {
      throw ApplicationError(ExitStatus::failure, report.directory.string() +
                                                      " exists already; choose another directory");
    }
    files::throwError("cannot create directory", report.directory, errno);
  }

  report.recordFile = report.directory / "record.json";
  const std::string json =
      encodeJSON(record).dump(2, ' ', false, JSON::error_handler_t::replace) + "\n";
  const FileDescriptor recordFile = files::createNewFile(report.recordFile, kPrivateFileMode);
  files::writeAll(recordFile.get(), json.data(), json.size(), report.recordFile);

  const fs::path filesDirectory = report.directory / "files";
  for (std::size_t i = 0; i < record.stagedAssets.size(); ++i) {
    const StagedAsset& asset = record.stagedAssets[i];
    const std::optional<fs::path> source = asset.localURL.filePath();
    std::error_code error;
    if (!source || !fs::is_regular_file(*source, error)) {
      report.missingFiles.push_back(asset.filename);
      continue;
    }
    files::createDirectories(filesDirectory, kPrivateFolderMode);
    const fs::path target = unusedPath(filesDirectory, exportName(asset.filename, i));
    copyPrivately(*source, target);
    report.copiedFiles.push_back(target);
  }
  return report;
}

}  // namespace kestro
