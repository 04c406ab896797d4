#pragma once

// The share request as the extension sees it: the items the host offers, and the two ways the
// request ends (completed, or cancelled with an error).
//
// Thread safety: the input items are fixed at construction and may be read from any thread. The
// request may be ended from any thread; the first end counts, and ending it again throws
// std::logic_error. `outcome` and `waitUntilRequestEnds` may be called from any thread.

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "KestroCore/Platform/Extension/ItemProvider.h"

namespace kestro {

// One shared item: an optional text (its plain string; formatting is not kept) and its
// attachments, each an item provider.
struct ExtensionItem {
  std::optional<std::string> attributedContentText;
  std::vector<std::shared_ptr<ItemProvider>> attachments;
};

// An input item of some other kind, which an extension cannot read.
struct OtherInputItem {
  std::string description;
};

using InputItem = std::variant<ExtensionItem, OtherInputItem>;

class ExtensionContext {
 public:
  // How the request ended: completed with the returned items, or cancelled with an error.
  struct Outcome {
    std::vector<ExtensionItem> returnedItems;
    std::exception_ptr error;  // null when the request was completed

    bool completed() const noexcept { return error == nullptr; }
  };

  explicit ExtensionContext(std::vector<InputItem> inputItems);
  ExtensionContext(const ExtensionContext&) = delete;
  ExtensionContext& operator=(const ExtensionContext&) = delete;

  const std::vector<InputItem>& inputItems() const noexcept { return inputItems_; }

  // Ends the request successfully, handing `returningItems` back to the host.
  void completeRequest(std::vector<ExtensionItem> returningItems);
  // Ends the request with `error`; a null error throws std::invalid_argument.
  void cancelRequest(std::exception_ptr error);

  // How the request ended; nothing while it runs.
  std::optional<Outcome> outcome() const;
  // Blocks until the request ends and returns how.
  Outcome waitUntilRequestEnds() const;

 private:
  void end(Outcome outcome);

  const std::vector<InputItem> inputItems_;
  mutable std::mutex mutex_;
  mutable std::condition_variable ended_;
  std::optional<Outcome> outcome_;
};

}  // namespace kestro
