#include "KestroCore/OutboxStore/AssetStager.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "KestroCore/Foundation/SHA256.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/Files/Files.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

// Large enough that system calls and digest updates cost nothing next to the bytes they move,
// small enough to stay in the CPU's cache between the read, the hash and the write.
constexpr std::size_t kChunkSize = 0x100000;

// Ends the name of a copy still being written (see AssetStager.h).
constexpr std::string_view kUnfinishedSuffix = ".partial";

fs::path localPath(const URL& url, const char* argument) {
  if (auto path = url.filePath()) return std::move(*path);
  throw std::invalid_argument(std::string("AssetStager: ") + argument +
                              " is not a local file URL: " + url.absoluteString());
}

struct CopyResult {
  std::int64_t byteCount = 0;
  std::string sha256;
};

// Reads the source once, writing each chunk to the copy and feeding the same bytes to the
// digest while they are still in cache. Write-back of each chunk starts as soon as it is
// written, so the disk works while we hash, and the final fsync only waits for the tail.
// Without a copy to write to (`to` negative), only reads and hashes, then flushes `from`.
CopyResult copyAndHash(int from, const fs::path& source, int to, const fs::path& destination) {
  files::adviseSequentialRead(from);
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kChunkSize);
  SHA256Digest digest;
  CopyResult result;
  for (;;) {
    const std::size_t size = files::readSome(from, buffer.get(), kChunkSize, source);
    if (size == 0) break;
    if (to >= 0) {
      files::writeAll(to, buffer.get(), size, destination);
      files::startWriteBack(to, result.byteCount, static_cast<off_t>(size));
    }
    digest.update(std::string_view(reinterpret_cast<const char*>(buffer.get()), size));
    result.byteCount += static_cast<std::int64_t>(size);
  }
  files::syncFile(to >= 0 ? to : from, destination);
  result.sha256 = digest.finishHex();
  return result;
}

// Removes the copy, under whichever name it has by then, when staging fails: no record will
// ever name it, so nothing else would remove it.
class PartialCopy {
 public:
  explicit PartialCopy(fs::path path) : path_(std::move(path)) {}
  ~PartialCopy() {
    if (!kept_) files::removeFileQuietly(path_);
  }
  PartialCopy(const PartialCopy&) = delete;
  PartialCopy& operator=(const PartialCopy&) = delete;

  void renamed(fs::path to) noexcept { path_ = std::move(to); }
  void keep() noexcept { kept_ = true; }

 private:
  fs::path path_;
  bool kept_ = false;
};

// Where one staging puts its copy: the final name, and the unfinished one it has until then.
struct StagingPlace {
  fs::path directory;
  std::vector<fs::path> createdDirectories;
  std::string name;  // the source's
  fs::path destination;
  fs::path unfinished;
};

StagingPlace prepareStaging(const fs::path& sourcePath, const fs::path& directory) {
  // Readable by the user only: staged files are the user's private content.
  std::vector<fs::path> createdDirectories = files::createDirectories(directory, 0700);
  std::string name = files::fileName(sourcePath);
  const UUID copyId;
  fs::path destination = directory / files::prefixedFileName(copyId.uuidString() + "-", name);
  // The file system's own error passes through when the existing file cannot go.
  fs::remove(destination);
  // The copy takes its final name only once its bytes are on disk, so a copy cut short by a
  // crash is never taken for a whole one.
  return StagingPlace{.directory = directory,
                      .createdDirectories = std::move(createdDirectories),
                      .name = std::move(name),
                      .destination = std::move(destination),
                      .unfinished = directory / AssetStager::unfinishedCopyName(copyId)};
}

// Gives the flushed copy its final name and describes it.
StagedAsset finishStaging(const StagingPlace& place, PartialCopy& partial, CopyResult copy,
                          const std::string& mimeType, AssetRole role) {
  // After the flush in copyAndHash, so the final name never appears before the bytes it names.
  fs::rename(place.unfinished, place.destination);
  partial.renamed(place.destination);
  files::syncDirectory(place.directory);
  for (auto it = place.createdDirectories.rbegin(); it != place.createdDirectories.rend(); ++it) {
    files::syncDirectory(it->parent_path());
  }

  StagedAsset asset{.clientAssetId = UUID(),
                    .localURL = URL::fileURL(place.destination),
                    .filename = repairedUTF8(place.name),
                    .mimeType = mimeType,
                    .byteCount = copy.byteCount,
                    .sha256 = std::move(copy.sha256),
                    .role = role,
                    .uploadId = std::nullopt};
  partial.keep();
  return asset;
}

// Copies the source into a prepared place and finishes it there.
StagedAsset copyInto(const StagingPlace& place, const fs::path& sourcePath,
                     const std::string& mimeType, AssetRole role) {
  // Only a regular file has an end: a FIFO or a device would stall or fill the disk.
  const FileDescriptor from = files::openRegularFileForReading(sourcePath);
  // Exclusive: never write through whatever might stand at the name.
  const FileDescriptor to = files::createNewFile(place.unfinished, S_IRUSR | S_IWUSR);
  PartialCopy partial(place.unfinished);
  CopyResult copy = copyAndHash(from.get(), sourcePath, to.get(), place.unfinished);
  return finishStaging(place, partial, std::move(copy), mimeType, role);
}

}  // namespace

StagedAsset AssetStager::stage(const URL& source, const URL& in, const std::string& mimeType,
                               AssetRole role) {
  const fs::path sourcePath = localPath(source, "source");
  return copyInto(prepareStaging(sourcePath, localPath(in, "destination")), sourcePath, mimeType,
                  role);
}

StagedAsset AssetStager::stageByMoving(const URL& source, const URL& in,
                                       const std::string& mimeType, AssetRole role) {
  const fs::path sourcePath = localPath(source, "source");
  std::optional<StagingPlace> place;
  try {
    place = prepareStaging(sourcePath, localPath(in, "destination"));
  } catch (...) {
    files::removeFileQuietly(sourcePath);
    throw;
  }
  if (::rename(sourcePath.c_str(), place->unfinished.c_str()) != 0) {
    const int error = errno;
    if (error != EXDEV) {
      files::removeFileQuietly(sourcePath);
      files::throwError("cannot move file", sourcePath, place->unfinished, error);
    }
    // Another file system: copied as any file is, into the place already prepared (whose new
    // directories are then made durable too), and the original goes all the same.
    try {
      StagedAsset asset = copyInto(*place, sourcePath, mimeType, role);
      files::removeFileQuietly(sourcePath);
      return asset;
    } catch (...) {
      files::removeFileQuietly(sourcePath);
      throw;
    }
  }
  PartialCopy partial(place->unfinished);
  const FileDescriptor file = files::openRegularFileForReading(place->unfinished);
  CopyResult read = copyAndHash(file.get(), place->unfinished, -1, place->unfinished);
  return finishStaging(*place, partial, std::move(read), mimeType, role);
}

// Hidden, recognisably unfinished, and short enough for any source name, since it does not carry
// the source's name.
std::string AssetStager::unfinishedCopyName(const UUID& id) {
  return "." + id.uuidString() + std::string(kUnfinishedSuffix);
}

bool AssetStager::isUnfinishedCopyName(std::string_view filename) {
  if (filename.size() <= 1 + kUnfinishedSuffix.size() || filename.front() != '.' ||
      !filename.ends_with(kUnfinishedSuffix)) {
    return false;
  }
  return UUID::fromString(filename.substr(1, filename.size() - 1 - kUnfinishedSuffix.size()))
      .has_value();
}

}  // namespace kestro
