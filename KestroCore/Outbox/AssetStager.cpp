#include "KestroCore/Outbox/AssetStager.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "KestroCore/Foundation/UUID.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

// Large enough that system calls and digest updates cost nothing next to the bytes they move,
// small enough to stay in the CPU's cache between the read, the hash and the write.
constexpr std::size_t kChunkSize = 0x100000;

// The staged name's prefix: a UUID string and a hyphen.
constexpr std::size_t kPrefixLength = 37;

// Every file system we stage onto (ext4, btrfs, xfs, tmpfs) limits a name to 255 bytes.
constexpr std::size_t kMaximumNameLength = NAME_MAX;

// An extension longer than this is more likely part of the name than a type, and not worth
// keeping at the expense of the name.
constexpr std::size_t kMaximumKeptExtension = 32;

[[noreturn]] void throwFileSystemError(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

[[noreturn]] void throwFileSystemError(const char* what, const fs::path& path1,
                                       const fs::path& path2, int error) {
  throw fs::filesystem_error(what, path1, path2, std::error_code(error, std::generic_category()));
}

// Owns one open file descriptor. Closing errors are ignored: for the copy, fsync has already
// reported whatever the close could.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

DigestContext newSHA256() {
  DigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("AssetStager: SHA-256 is not available");
  }
  return context;
}

std::string finishHex(EVP_MD_CTX* context) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, digest, &length) != 1) {
    throw std::runtime_error("AssetStager: SHA-256 failed");
  }
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHexDigits[digest[i] >> 4]);
    text.push_back(kHexDigits[digest[i] & 0xF]);
  }
  return text;
}

fs::path localPath(const URL& url, const char* argument) {
  if (auto path = url.filePath()) return std::move(*path);
  throw std::invalid_argument(std::string("AssetStager: ") + argument +
                              " is not a local file URL: " + url.absoluteString());
}

// The name of the file itself. Taken from the decoded path rather than the URL's last
// component, which would turn an escaped "%2F" into a "/" inside the name and let the staged
// copy land outside the staging directory.
std::string fileName(const fs::path& path) {
  std::string_view text = path.native();
  while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  const std::size_t slash = text.rfind('/');
  return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

// Valid UTF-8, with U+FFFD in place of each maximal subpart of an ill-formed sequence (Unicode
// chapter 3, "U+FFFD Substitution of Maximal Subparts"), so that the text can go into JSON.
std::string repairedUTF8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      text.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Sequence length and the range of the second byte (the first continuation byte is where
    // overlong forms, surrogates and values past U+10FFFF are told apart).
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead == 0xE0) {
      length = 3, low = 0xA0;
    } else if (lead == 0xED) {
      length = 3, high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
      length = 3;
    } else if (lead == 0xF0) {
      length = 4, low = 0x90;
    } else if (lead == 0xF4) {
      length = 4, high = 0x8F;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      length = 4;
    }
    std::size_t end = i + 1;
    bool valid = length != 0;
    for (std::size_t k = 1; valid && k < length; ++k, ++end) {
      const unsigned char byte = end < bytes.size() ? static_cast<unsigned char>(bytes[end]) : 0;
      valid = byte >= (k == 1 ? low : 0x80) && byte <= (k == 1 ? high : 0xBF);
      if (!valid) break;
    }
    if (valid) {
      text.append(bytes.substr(i, length));
    } else {
      text.append(kReplacement);
    }
    i = end;
  }
  return text;
}

// The staged copy's name. A name that would not fit after the prefix loses bytes from the end
// of its stem, never from the extension that viewers and the server's type sniffing rely on, and
// never in the middle of a UTF-8 sequence.
std::string stagedName(const UUID& id, const std::string& name) {
  const std::string prefix = id.uuidString() + "-";
  constexpr std::size_t budget = kMaximumNameLength - kPrefixLength;
  if (name.size() <= budget) return prefix + name;
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > kMaximumKeptExtension) {
    dot = name.size();
  }
  const std::string_view extension = std::string_view(name).substr(dot);
  std::size_t cut = budget - extension.size();
  for (int step = 0; step < 3 && cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80;
       ++step) {
    --cut;
  }
  return prefix + name.substr(0, cut) + std::string(extension);
}

bool isDirectory(const fs::path& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Creates `directory` and its missing parents with mode 0700 and returns those it created,
// outermost first. std::filesystem::create_directories cannot take a mode, and tightening the
// mode afterwards would leave a moment in which others could look in.
std::vector<fs::path> createDirectories(const fs::path& directory) {
  std::vector<fs::path> missing;
  fs::path current = directory;
  while (current.has_relative_path() && !current.has_filename()) current = current.parent_path();
  for (;;) {
    struct stat status;
    if (::stat(current.c_str(), &status) == 0) {
      if (!S_ISDIR(status.st_mode)) {
        throwFileSystemError("cannot create directories", current, ENOTDIR);
      }
      break;
    }
    if (errno != ENOENT) throwFileSystemError("cannot create directories", current, errno);
    missing.push_back(current);
    const fs::path parent = current.parent_path();
    if (parent == current) break;
    current = parent;
  }
  std::vector<fs::path> created;
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) == 0) {
      created.push_back(*it);
      continue;
    }
    const int error = errno;
    // Another stager creating the same directory at the same moment is fine.
    if (error == EEXIST && isDirectory(*it)) continue;
    throwFileSystemError("cannot create directories", *it, error == EEXIST ? ENOTDIR : error);
  }
  return created;
}

// Makes the entries of a directory durable. File systems that cannot sync a directory say
// EINVAL; their entries are as durable as they will get.
void syncDirectory(const fs::path& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) throwFileSystemError("cannot open directory", directory, errno);
  if (::fsync(fd.get()) != 0 && errno != EINVAL) {
    throwFileSystemError("cannot flush directory", directory, errno);
  }
}

struct CopyResult {
  std::int64_t byteCount = 0;
  std::string sha256;
};

void writeAll(int fd, const unsigned char* data, std::size_t size, const fs::path& path) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      throwFileSystemError("cannot write file", path, errno);
    }
    if (written == 0) throwFileSystemError("cannot write file", path, EIO);
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

// Reads the source once, writing each chunk to the copy and feeding the same bytes to the
// digest while they are still in cache. Write-back of each chunk starts as soon as it is
// written, so the disk works while we hash, and the final fsync only waits for the tail.
CopyResult copyAndHash(int from, const fs::path& source, int to, const fs::path& destination) {
  ::posix_fadvise(from, 0, 0, POSIX_FADV_SEQUENTIAL);
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kChunkSize);
  const DigestContext context = newSHA256();
  CopyResult result;
  for (;;) {
    const ssize_t count = ::read(from, buffer.get(), kChunkSize);
    if (count < 0) {
      if (errno == EINTR) continue;
      throwFileSystemError("cannot read file", source, errno);
    }
    if (count == 0) break;
    const auto size = static_cast<std::size_t>(count);
    writeAll(to, buffer.get(), size, destination);
    // Only a hint, so its failure (a file system without it) changes nothing: fsync decides.
    ::sync_file_range(to, result.byteCount, count, SYNC_FILE_RANGE_WRITE);
    if (EVP_DigestUpdate(context.get(), buffer.get(), size) != 1) {
      throw std::runtime_error("AssetStager: SHA-256 failed");
    }
    result.byteCount += count;
  }
  if (::fsync(to) != 0) throwFileSystemError("cannot flush file", destination, errno);
  result.sha256 = finishHex(context.get());
  return result;
}

// Removes a half-made copy when staging fails: no record will ever name it, so nothing else
// would remove it.
class PartialCopy {
 public:
  explicit PartialCopy(fs::path path) : path_(std::move(path)) {}
  ~PartialCopy() {
    if (!kept_) ::unlink(path_.c_str());
  }
  PartialCopy(const PartialCopy&) = delete;
  PartialCopy& operator=(const PartialCopy&) = delete;

  void keep() noexcept { kept_ = true; }

 private:
  fs::path path_;
  bool kept_ = false;
};

}  // namespace

StagedAsset AssetStager::stage(const URL& source, const URL& in, const std::string& mimeType,
                               AssetRole role) {
  const fs::path sourcePath = localPath(source, "source");
  const fs::path directory = localPath(in, "destination");

  const std::vector<fs::path> createdDirectories = createDirectories(directory);

  const std::string name = fileName(sourcePath);
  const fs::path destination = directory / stagedName(UUID(), name);
  // The file system's own error passes through when the existing file cannot go.
  fs::remove(destination);

  FileDescriptor from(::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (from.get() < 0) throwFileSystemError("cannot copy file", sourcePath, destination, errno);
  // Only a regular file has an end: a FIFO or a device would stall or fill the disk. O_NONBLOCK
  // above keeps the open of a FIFO from waiting for a writer; it changes nothing for a regular
  // file.
  struct stat status;
  if (::fstat(from.get(), &status) != 0) {
    throwFileSystemError("cannot copy file", sourcePath, destination, errno);
  }
  if (!S_ISREG(status.st_mode)) {
    throwFileSystemError("cannot copy file", sourcePath, destination,
                         S_ISDIR(status.st_mode) ? EISDIR : ENOTSUP);
  }

  // O_EXCL: never write through whatever might have appeared at the name since the removal.
  FileDescriptor to(
      ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (to.get() < 0) throwFileSystemError("cannot copy file", sourcePath, destination, errno);
  PartialCopy partial(destination);

  CopyResult copy = copyAndHash(from.get(), sourcePath, to.get(), destination);

  syncDirectory(directory);
  for (auto it = createdDirectories.rbegin(); it != createdDirectories.rend(); ++it) {
    syncDirectory(it->parent_path());
  }

  StagedAsset asset{.clientAssetId = UUID(),
                    .localURL = URL::fileURL(destination),
                    .filename = repairedUTF8(name),
                    .mimeType = mimeType,
                    .byteCount = copy.byteCount,
                    .sha256 = std::move(copy.sha256),
                    .role = role,
                    .uploadId = std::nullopt};
  partial.keep();
  return asset;
}

}  // namespace kestro
