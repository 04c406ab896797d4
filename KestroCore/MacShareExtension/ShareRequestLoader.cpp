#include "KestroCore/MacShareExtension/ShareRequestLoader.h"

#include <future>
#include <memory>
#include <utility>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/MacShareExtension/internal/PrivateCopy.h"
#include "KestroCore/Platform/Files/Files.h"
#include "KestroCore/Platform/UniformTypes/UTType.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOctetStream = "application/octet-stream";
constexpr const char* kDefaultImageMIMEType = "image/jpeg";
constexpr const char* kDefaultMovieMIMEType = "video/mp4";

// The loader's side of one load: the provider's completion resumes it with the result, once.
// Only the completion holds the promise, so a completion destroyed without being called breaks
// it, and the wait ends with nothing instead of lasting forever.
template <class T>
class Continuation {
 public:
  Continuation() : promise_(std::make_shared<std::promise<std::optional<T>>>()) {
    future_ = promise_->get_future();
  }

  // The function the completion calls with the result. Hand it over once.
  auto resumer() {
    return [promise = std::move(promise_)](std::optional<T> result) noexcept {
      try {
        promise->set_value(std::move(result));
      } catch (...) {
        // Already resumed: a second call has nothing left to deliver to.
      }
    };
  }

  std::optional<T> wait() {
    try {
      return future_.get();
    } catch (const std::future_error&) {
      return std::nullopt;
    }
  }

 private:
  std::shared_ptr<std::promise<std::optional<T>>> promise_;
  std::future<std::optional<T>> future_;
};

std::optional<std::string> textOf(const ItemProvider::Item& item) {
  if (const auto* string = std::get_if<std::string>(&item)) return *string;
  if (const auto* attributed = std::get_if<ItemProvider::AttributedString>(&item)) {
    return attributed->string;
  }
  if (const auto* data = std::get_if<ItemProvider::Data>(&item)) {
    const std::string_view bytes(reinterpret_cast<const char*>(data->data()), data->size());
    if (isValidUTF8(bytes)) return std::string(bytes);
  }
  return std::nullopt;
}

std::optional<UTType> firstRegisteredType(const ItemProvider& provider,
                                          const std::function<bool(const UTType&)>& accepts,
                                          std::string* identifier = nullptr) {
  for (const std::string& registered : provider.registeredTypeIdentifiers()) {
    std::optional<UTType> type = UTType::fromIdentifier(registered);
    if (type && accepts(*type)) {
      if (identifier) *identifier = registered;
      return type;
    }
  }
  return std::nullopt;
}

}  // namespace

ShareRequestLoader::ShareRequestLoader(fs::path temporaryDirectory)
    : temporaryDirectory_(std::move(temporaryDirectory)) {}

std::vector<ShareRepresentation> ShareRequestLoader::loadRepresentations(
    const ExtensionContext& context) const {
  std::vector<ShareRepresentation> representations;
  for (const InputItem& input : context.inputItems()) {
    const auto* item = std::get_if<ExtensionItem>(&input);
    if (!item) continue;
    if (item->attributedContentText &&
        !trimmingWhitespaceAndNewlines(*item->attributedContentText).empty()) {
      representations.push_back(ShareRepresentation::text(*item->attributedContentText));
    }
    for (const std::shared_ptr<ItemProvider>& provider : item->attachments) {
      if (!provider) continue;
      if (auto found = representation(*provider)) representations.push_back(std::move(*found));
    }
  }
  return representations;
}

std::optional<ShareRepresentation> ShareRequestLoader::representation(
    ItemProvider& provider) const {
  // A web address or a file reference.
  if (provider.hasItemConformingToTypeIdentifier(UTType::url().identifier())) {
    if (const std::optional<URL> url = loadURL(provider)) {
      const std::string scheme = asciiLowercased(url->scheme());
      if (scheme == "http" || scheme == "https") return ShareRepresentation::url(*url);
      if (url->isFileURL()) {
        // The file stays where it is; staging copies it.
        const std::optional<UTType> type =
            UTType::fromFilenameExtension(url->pathExtension(), UTType::data());
        std::string mimeType = type && type->preferredMIMEType() ? *type->preferredMIMEType()
                                                                 : std::string(kOctetStream);
        if (type && type->conforms(UTType::image())) {
          return ShareRepresentation::image(*url, std::move(mimeType));
        }
        if (type && type->conforms(UTType::movie())) {
          return ShareRepresentation::movie(*url, std::move(mimeType));
        }
        return ShareRepresentation::file(*url, std::move(mimeType));
      }
    }
  }

  // Text: the first text type only.
  std::string textType;
  if (firstRegisteredType(
          provider, [](const UTType& type) { return type.conforms(UTType::text()); }, &textType)) {
    if (std::optional<std::string> text = loadText(provider, textType)) {
      return ShareRepresentation::text(std::move(*text));
    }
  }

  // A file: the first type that is a document, a picture, a movie or any data.
  const std::optional<UTType> fileType = firstRegisteredType(provider, [](const UTType& type) {
    return type.conforms(UTType::pdf()) || type.conforms(UTType::image()) ||
           type.conforms(UTType::movie()) || type.conforms(UTType::data());
  });
  if (!fileType) return std::nullopt;
  std::optional<URL> copy = copyFile(provider, fileType->identifier());
  if (!copy) return std::nullopt;
  const std::optional<std::string>& mimeType = fileType->preferredMIMEType();
  if (fileType->conforms(UTType::image())) {
    return ShareRepresentation::image(std::move(*copy), mimeType.value_or(kDefaultImageMIMEType));
  }
  if (fileType->conforms(UTType::movie())) {
    return ShareRepresentation::movie(std::move(*copy), mimeType.value_or(kDefaultMovieMIMEType));
  }
  return ShareRepresentation::file(std::move(*copy), mimeType.value_or(kOctetStream));
}

std::optional<URL> ShareRequestLoader::loadURL(ItemProvider& provider) const {
  Continuation<URL> continuation;
  provider.loadItem(UTType::url().identifier(),
                    [resume = continuation.resumer()](std::optional<ItemProvider::Item> item,
                                                      std::exception_ptr) {
                      const URL* url = item ? std::get_if<URL>(&*item) : nullptr;
                      resume(url ? std::optional<URL>(*url) : std::nullopt);
                    });
  return continuation.wait();
}

std::optional<std::string> ShareRequestLoader::loadText(ItemProvider& provider,
                                                        const std::string& type) const {
  Continuation<std::string> continuation;
  provider.loadItem(type, [resume = continuation.resumer()](std::optional<ItemProvider::Item> item,
                                                            std::exception_ptr) {
    resume(item ? textOf(*item) : std::nullopt);
  });
  return continuation.wait();
}

std::optional<URL> ShareRequestLoader::copyFile(ItemProvider& provider,
                                                const std::string& type) const {
  Continuation<URL> continuation;
  provider.loadFileRepresentation(type, [resume = continuation.resumer(),
                                         directory = temporaryDirectory_](
                                            std::optional<URL> fileURL, std::exception_ptr) {
    const std::optional<fs::path> source = fileURL ? fileURL->filePath() : std::nullopt;
    if (!source) return resume(std::nullopt);
    // The lent file may vanish once this completion returns, so the copy is made here.
    try {
      const fs::path destination =
          directory / files::prefixedFileName(UUID().uuidString() + "-", files::fileName(*source));
      share::copyToPrivateFile(*source, destination);
      resume(URL::fileURL(destination));
    } catch (...) {
      resume(std::nullopt);
    }
  });
  return continuation.wait();
}

}  // namespace kestro
