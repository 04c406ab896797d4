#pragma once

// One attachment of a shared item: content that the host offers in one or more types, loaded on
// request. The host registers, per type identifier, a handler that delivers the content as an
// item (a URL, a string, bytes, ...) and/or one that lends it as a file.
//
// Thread safety: register everything before handing the provider to an extension; after that the
// provider is read-only and its operations may be called from any thread. Every load runs its
// handler, and then the completion, on a thread of its own that the provider starts; the
// provider's destructor waits for those threads. A completion must therefore not hold the last
// reference to its provider.
//
// Guarantee: every completion is called exactly once per load, with the delivered content or
// with an error, even when the handler throws, delivers nothing or delivers twice.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "KestroCore/Foundation/URL.h"

namespace kestro {

// The error a completion receives when the provider has nothing of the requested type, or its
// handler delivered nothing.
class ItemProviderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ItemProvider {
 public:
  // A text with formatting; only its plain string is kept here.
  struct AttributedString {
    std::string string;
    bool operator==(const AttributedString&) const = default;
  };
  // Bytes.
  using Data = std::vector<std::uint8_t>;
  // An object of some other class: nothing the extension can read.
  struct OtherItem {
    std::string description;
    bool operator==(const OtherItem&) const = default;
  };
  // What an item load delivers.
  using Item = std::variant<URL, std::string, Data, AttributedString, OtherItem>;

  // Called with the item, or with nothing and usually an error.
  using ItemCompletion = std::function<void(std::optional<Item> item, std::exception_ptr error)>;
  // Called with the URL of a file that exists only until the completion returns: the provider
  // may remove it at once. Copy what you need inside the completion.
  using FileCompletion = std::function<void(std::optional<URL> fileURL, std::exception_ptr error)>;

  // Handlers the host registers. They run on the load's own thread and deliver by calling the
  // completion they are given; a handler that lends a temporary file removes it after that call
  // returns. What a handler throws reaches the completion as its error.
  using ItemLoadHandler = std::function<void(const ItemCompletion& completion)>;
  using FileLoadHandler = std::function<void(const FileCompletion& completion)>;

  ItemProvider() = default;
  ~ItemProvider();
  ItemProvider(const ItemProvider&) = delete;
  ItemProvider& operator=(const ItemProvider&) = delete;

  // Offers content of `typeIdentifier` as an item.
  void registerItem(std::string typeIdentifier, ItemLoadHandler handler);
  // Offers content of `typeIdentifier` as a file.
  void registerFileRepresentation(std::string typeIdentifier, FileLoadHandler handler);

  // Every identifier registered, in the order of their first registration.
  std::vector<std::string> registeredTypeIdentifiers() const;

  // Whether some registered type is `typeIdentifier` or conforms to it (public.png conforms to
  // public.image; public.file-url to public.url).
  bool hasItemConformingToTypeIdentifier(std::string_view typeIdentifier) const;

  // Loads the item of `typeIdentifier`: the handler registered under that identifier, else under
  // the same type written differently ("image/png" for "public.png"), else under the first type
  // that conforms to it. With no such handler the completion gets an ItemProviderError.
  void loadItem(std::string_view typeIdentifier, ItemCompletion completion);

  // Loads a file representation, choosing the handler as `loadItem` does.
  void loadFileRepresentation(std::string_view typeIdentifier, FileCompletion completion);

 private:
  struct Registration {
    std::string typeIdentifier;
    ItemLoadHandler item;
    FileLoadHandler file;
  };
  template <class Handler>
  Handler find(std::string_view typeIdentifier, Handler Registration::*handler) const;
  void start(std::function<void()> work);

  std::vector<Registration> registrations_;
  std::mutex threadsMutex_;
  std::vector<std::thread> threads_;
};

}  // namespace kestro
