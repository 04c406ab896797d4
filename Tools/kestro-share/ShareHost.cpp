#include "Tools/kestro-share/ShareHost.h"

#include <sys/stat.h>
#include <unistd.h>

#include <system_error>
#include <utility>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/URL.h"
#include "Platform/Files/FileDescriptor.h"
#include "Platform/Files/Files.h"
#include "Platform/UniformTypes/UTType.h"

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

std::shared_ptr<ItemProvider> textProvider(const std::string& text) {
  auto provider = std::make_shared<ItemProvider>();
  provider->registerItem(kPlainTextType, [text](const ItemProvider::ItemCompletion& completion) {
    completion(ItemProvider::Item(text), nullptr);
  });
  return provider;
}

// Streams standard input into `path`, so that a large input never has to fit in memory.
void copyStandardInput(const fs::path& path) {
  const FileDescriptor file = files::createNewFile(path, S_IRUSR | S_IWUSR);
  const auto buffer = std::make_unique_for_overwrite<char[]>(kChunkSize);
  for (;;) {
    const std::size_t size = files::readSome(STDIN_FILENO, buffer.get(), kChunkSize, "-");
    if (size == 0) return;
    files::writeAll(file.get(), buffer.get(), size, path);
  }
}

std::shared_ptr<ItemProvider> standardInputProvider(const std::string& typeIdentifier,
                                                    const fs::path& path) {
  auto provider = std::make_shared<ItemProvider>();
  provider->registerItem(typeIdentifier, [path](const ItemProvider::ItemCompletion& completion) {
    const FileDescriptor file = files::openRegularFileForReading(path);
    ItemProvider::Data bytes;
    char buffer[65536];
    for (;;) {
      const std::size_t size = files::readSome(file.get(), buffer, sizeof buffer, path);
      if (size == 0) break;
      if (bytes.size() + size > kMaximumItemSize) {
        throw ItemProviderError("standard input is too large to load as an item");
      }
      bytes.insert(bytes.end(), buffer, buffer + size);
    }
    completion(ItemProvider::Item(std::move(bytes)), nullptr);
  });
  // The file is the host's and stays until the program ends; lending it costs nothing more.
  provider->registerFileRepresentation(
      typeIdentifier, [url = URL::fileURL(path)](const ItemProvider::FileCompletion& completion) {
        completion(url, nullptr);
      });
  return provider;
}

// A file named on the command line, as a path or a file URL.
fs::path existingFile(const std::string& argument, const fs::path& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    throw UsageError("cannot share " + argument + ": " +
                     std::error_code(errno, std::generic_category()).message());
  }
  if (!S_ISREG(status.st_mode)) {
    throw UsageError("cannot share " + argument + ": not a regular file");
  }
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

std::shared_ptr<ExtensionContext> makeContext(const std::vector<Argument>& arguments,
                                              const std::optional<std::string>& stdinType,
                                              const fs::path& hostDirectory) {
  bool readsStandardInput = false;
  std::string stdinTypeIdentifier = kPlainTextType;
  for (const Argument& argument : arguments) {
    if (argument.kind != Argument::Kind::item || argument.value != "-") continue;
    if (readsStandardInput) throw UsageError("standard input (-) can be shared only once");
    readsStandardInput = true;
  }
  if (stdinType) {
    if (!readsStandardInput) throw UsageError("--type applies to standard input (-) only");
    const std::optional<UTType> type = UTType::fromIdentifier(*stdinType);
    if (!type) throw UsageError("unknown type: " + *stdinType);
    stdinTypeIdentifier = type->identifier();
  }

  std::vector<InputItem> items;
  for (const Argument& argument : arguments) {
    std::shared_ptr<ItemProvider> provider;
    if (argument.kind == Argument::Kind::text) {
      provider = textProvider(argument.value);
    } else if (argument.value == "-") {
      const fs::path path = hostDirectory / "stdin";
      copyStandardInput(path);
      provider = standardInputProvider(stdinTypeIdentifier, path);
    } else {
      provider = itemProvider(argument.value);
    }
    items.emplace_back(ExtensionItem{std::nullopt, {std::move(provider)}});
  }
  return std::make_shared<ExtensionContext>(std::move(items));
}

}  // namespace kestro::sharehost
