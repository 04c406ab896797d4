#include "Tools/kestro-share/ShareHost.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>
#include <utility>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/OutboxStore/AssetStager.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"
#include "KestroCore/Platform/UniformTypes/UTType.h"

namespace kestro::sharehost {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kChunkSize = 0x100000;
// Standard input larger than this is offered only as a file: nobody reads 16 MiB as a string.
constexpr std::size_t kMaximumItemSize = 16 << 20;

constexpr const char* kURLType = "public.url";
constexpr const char* kFileURLType = "public.file-url";
constexpr const char* kPlainTextType = "public.plain-text";
constexpr const char* kDataType = "public.data";
// Standard input's file, before the extension of its type.
constexpr const char* kStandardInputName = "stdin";
// What standard input must leave free on the disk it is written to (see requireRoomFor): a
// twentieth of the file system, within these bounds.
constexpr std::uint64_t kMinimumFreeSpaceMargin = std::uint64_t{16} << 20;
constexpr std::uint64_t kMaximumFreeSpaceMargin = std::uint64_t{1} << 30;

std::shared_ptr<ItemProvider> linkProvider(const URL& url) {
  auto provider = std::make_shared<ItemProvider>();
  provider->registerItem(kURLType, [url](const ItemProvider::ItemCompletion& completion) {
    completion(ItemProvider::Item(url), nullptr);
  });
  return provider;
}

std::shared_ptr<ItemProvider> fileProvider(const fs::path& path) {
  const URL url = URL::fileURL(path);
  const std::optional<UTType> type =
      UTType::fromFilenameExtension(url.pathExtension(), UTType::data());
  auto provider = std::make_shared<ItemProvider>();
  provider->registerItem(kFileURLType, [url](const ItemProvider::ItemCompletion& completion) {
    completion(ItemProvider::Item(url), nullptr);
  });
  provider->registerFileRepresentation(
      type ? type->identifier() : kDataType,
      [url](const ItemProvider::FileCompletion& completion) { completion(url, nullptr); });
  return provider;
}

std::shared_ptr<ItemProvider> textProvider(const std::string& text,
                                           const std::string& typeIdentifier) {
  auto provider = std::make_shared<ItemProvider>();
  provider->registerItem(typeIdentifier, [text](const ItemProvider::ItemCompletion& completion) {
    completion(ItemProvider::Item(text), nullptr);
  });
  return provider;
}

// Keeps standard input from filling the disk: writing `size` more bytes to `fd` must leave its
// file system a margin free, for the outbox and everything else the user keeps there.
void requireRoomFor(int fd, std::uint64_t written, std::size_t size, const fs::path& directory) {
  struct statvfs status;
  if (::fstatvfs(fd, &status) != 0) {
    files::throwError("cannot measure free space", directory, errno);
  }
  const std::uint64_t total = std::uint64_t{status.f_blocks} * status.f_frsize;
  const std::uint64_t available = std::uint64_t{status.f_bavail} * status.f_frsize;
  const std::uint64_t margin =
      std::clamp(total / 20, kMinimumFreeSpaceMargin, kMaximumFreeSpaceMargin);
  if (available >= margin && available - margin >= size) return;
  throw DiskFullError("standard input stopped after " + byteCountText(written) + ": the disk of " +
                      directory.parent_path().parent_path().native() +
                      " would have had less than " + byteCountText(margin) +
                      " free; nothing was stored");
}

// Writes `head`, what was read of standard input already, and unless it `ended` there the rest of
// it, into `directory`: under an unfinished staging copy's name while it is written, so that
// whatever a kill leaves is known for what it is and pruned, then under `name`.
fs::path writeStandardInput(std::string head, bool ended, const fs::path& directory,
                            const std::string& name) {
  files::createDirectories(directory, 0700);
  const fs::path unfinished = directory / AssetStager::unfinishedCopyName(UUID());
  {
    const FileDescriptor file = files::createNewFile(unfinished, S_IRUSR | S_IWUSR);
    std::uint64_t written = 0;
    const auto write = [&](const char* data, std::size_t size) {
      requireRoomFor(file.get(), written, size, directory);
      files::writeAll(file.get(), data, size, unfinished);
      written += size;
    };
    write(head.data(), head.size());
    std::string().swap(head);
    const auto buffer = std::make_unique_for_overwrite<char[]>(kChunkSize);
    while (!ended) {
      const std::size_t size = files::readSome(STDIN_FILENO, buffer.get(), kChunkSize, "-");
      if (size == 0) break;
      write(buffer.get(), size);
    }
  }
  const fs::path whole = directory / name;
  fs::rename(unfinished, whole);
  return whole;
}

// Standard input as the item it is: text while it can be shared as text (read into memory, as
// nobody reads more than 16 MiB as a string), a file of its own otherwise.
std::shared_ptr<ItemProvider> standardInputProvider(const UTType& type, const fs::path& directory,
                                                    Request& request) {
  std::string head;
  bool ended = false;
  if (type.conforms(UTType::text())) {
    const auto buffer = std::make_unique_for_overwrite<char[]>(kChunkSize);
    while (!ended && head.size() <= kMaximumItemSize) {
      const std::size_t size = files::readSome(STDIN_FILENO, buffer.get(), kChunkSize, "-");
      ended = size == 0;
      head.append(buffer.get(), size);
    }
    // Bytes that are not UTF-8 are no text to share, but still a file of that type.
    if (ended && isValidUTF8(head)) return textProvider(head, type.identifier());
  }
  const std::optional<std::string> extension = type.preferredFilenameExtension();
  const fs::path file = writeStandardInput(
      std::move(head), ended, directory,
      std::string(kStandardInputName) + (extension ? "." + *extension : std::string()));
  // The name's extension may fit other types too, or there is none: the type given is kept.
  request.handedOverFiles.push_back(
      HandedOverFile{file, type.preferredMIMEType().value_or("application/octet-stream")});
  return fileProvider(file);
}

// The web address a person most likely meant by `argument` when it names no file: a host name
// with a dot, then a path ("example.com/x", "www.example.com"). Nothing for what looks like a
// file name ("notes.txt"), which has no path and no "www.".
std::optional<std::string> likelyWebAddress(const std::string& argument) {
  const std::string_view host = std::string_view(argument).substr(0, argument.find('/'));
  const bool hostLike = host.find('.') != std::string_view::npos && !host.starts_with('.') &&
                        !host.ends_with('.') && std::all_of(host.begin(), host.end(), [](char c) {
                          return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                 (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':';
                        });
  if (!hostLike || (host.size() == argument.size() && !host.starts_with("www."))) {
    return std::nullopt;
  }
  const std::string address = "https://" + argument;
  if (!URL::fromString(address)) return std::nullopt;
  return address;
}

// A file named on the command line, as a path or a file URL: one that exists, is a regular file
// and can be read, so that nothing is staged for a share that cannot finish.
fs::path existingFile(const std::string& argument, const fs::path& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    std::string message = "cannot share " + argument + ": " +
                          std::error_code(errno, std::generic_category()).message();
    if (const std::optional<std::string> address = likelyWebAddress(argument)) {
      message += "; for the web address, give " + *address;
    }
    throw UsageError(message);
  }
  if (!S_ISREG(status.st_mode)) {
    throw UsageError("cannot share " + argument + ": not a regular file");
  }
  const int readable = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (readable < 0) {
    throw UsageError("cannot share " + argument + ": " +
                     std::error_code(errno, std::generic_category()).message());
  }
  ::close(readable);
  return fs::absolute(path);
}

std::shared_ptr<ItemProvider> itemProvider(const std::string& argument) {
  // A file that exists is a file, whatever its name looks like ("notes:2024.txt").
  struct stat status;
  if (::stat(argument.c_str(), &status) == 0) return fileProvider(existingFile(argument, argument));
  if (const std::optional<URL> url = URL::fromString(argument)) {
    if (url->isFileURL()) {
      const std::optional<fs::path> path = url->filePath();
      if (!path) throw UsageError("cannot share " + argument + ": not a local file");
      return fileProvider(existingFile(argument, *path));
    }
    return linkProvider(*url);
  }
  // Not a file, not an address: report it as the file the user most likely meant.
  return fileProvider(existingFile(argument, argument));
}

}  // namespace

std::string byteCountText(std::uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < (1 << 20)) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  }
  return text;
}

Request makeRequest(const std::vector<Argument>& arguments,
                    const std::optional<std::string>& stdinType,
                    const fs::path& standardInputDirectory) {
  bool readsStandardInput = false;
  for (const Argument& argument : arguments) {
    if (argument.kind != Argument::Kind::item || argument.value != "-") continue;
    if (readsStandardInput) throw UsageError("standard input (-) can be shared only once");
    readsStandardInput = true;
  }
  std::optional<UTType> standardInputType;
  if (stdinType) {
    if (!readsStandardInput) throw UsageError("--type applies to standard input (-) only");
    standardInputType = UTType::fromIdentifier(*stdinType);
    if (!standardInputType) throw UsageError("unknown type: " + *stdinType);
  }

  Request request;
  std::vector<InputItem> items;
  for (const Argument& argument : arguments) {
    std::shared_ptr<ItemProvider> provider;
    if (argument.kind == Argument::Kind::text) {
      provider = textProvider(argument.value, kPlainTextType);
    } else if (argument.value == "-") {
      provider = standardInputProvider(
          standardInputType ? *standardInputType : *UTType::fromIdentifier(kPlainTextType),
          standardInputDirectory, request);
    } else {
      provider = itemProvider(argument.value);
    }
    items.emplace_back(ExtensionItem{std::nullopt, {std::move(provider)}});
  }
  request.context = std::make_shared<ExtensionContext>(std::move(items));
  return request;
}

}  // namespace kestro::sharehost
