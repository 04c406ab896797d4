#include "KestroCore/MacShareExtension/internal/PrivateCopy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"

namespace kestro::share {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kChunkSize = 0x100000;
// copy_file_range moves at most this much per call; the kernel caps it near 2 GiB anyway.
constexpr std::size_t kRangeSize = std::size_t{1} << 30;

// Copies through a buffer when the kernel cannot copy between the two files itself.
void copyThroughBuffer(int from, const fs::path& source, int to, const fs::path& destination) {
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kChunkSize);
  for (;;) {
    const std::size_t size = files::readSome(from, buffer.get(), kChunkSize, source);
    if (size == 0) return;
    files::writeAll(to, buffer.get(), size, destination);
  }
}

void copyContents(int from, const fs::path& source, int to, const fs::path& destination) {
  files::adviseSequentialRead(from);
  bool copiedAny = false;
  for (;;) {
    const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, kRangeSize, 0);
    if (copied > 0) {
      copiedAny = true;
      continue;
    }
    if (copied == 0) return;
    if (errno == EINTR) continue;
    // Across file systems on older kernels, or on file systems without support: nothing has
    // moved yet, so the plain loop starts from the beginning.
    if (!copiedAny &&
        (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
      copyThroughBuffer(from, source, to, destination);
      return;
    }
    files::throwError("cannot copy file", source, destination, errno);
  }
}

}  // namespace

void copyToPrivateFile(const fs::path& source, const fs::path& destination) {
  const FileDescriptor from = files::openRegularFileForReading(source);
  const FileDescriptor to = files::createNewFile(destination, S_IRUSR | S_IWUSR);
  try {
    copyContents(from.get(), source, to.get(), destination);
  } catch (...) {
    files::removeFileQuietly(destination);
    throw;
  }
}

}  // namespace kestro::share
