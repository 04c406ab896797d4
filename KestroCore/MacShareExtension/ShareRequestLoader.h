#pragma once

// Turns what the host shares into the neutral list the selector chooses from: web addresses,
// texts, and local files with their MIME types. Per attachment it takes one form: a web address
// or file reference if the attachment offers one, else its first text type, else a private copy
// of its first file type. It never fails: an attachment that cannot be read contributes nothing.
//
// Thread safety: the loader keeps no state between calls and is cheap to copy. It is meant for
// the main thread, which it blocks while each load runs on the provider's own thread; loads are
// awaited one at a time. The file copy is made on the provider's thread, inside its completion.
//
// The wait for a provider is not bounded in time. The platform's providers call every completion
// exactly once, so the wait always ends, and the copy that runs inside a completion takes as
// long as the file is large: a time limit would abandon a sound share of a large file on a slow
// disk, leaving its copy behind for nobody.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Platform/Extension/ExtensionContext.h"
#include "KestroCore/Platform/Extension/ItemProvider.h"
#include "KestroCore/Policies/ShareItemSelector.h"

namespace kestro {

class ShareRequestLoader {
 public:
  // Copies of lent files go into `temporaryDirectory`, named "<new UUID>-<file name>", readable
  // by the user only. The loader never removes them.
  explicit ShareRequestLoader(std::filesystem::path temporaryDirectory);

  // The representations of the context's items in the order offered: per extension item its
  // non-blank content text (untrimmed), then one representation per readable attachment. Input
  // items that are not extension items are skipped. Throws nothing of the providers' and
  // nothing of the file system's; only std::bad_alloc, and std::runtime_error when the type
  // database cannot be loaded at all (see UTType).
  std::vector<ShareRepresentation> loadRepresentations(const ExtensionContext& context) const;

  // The provider's item of type public.url if it is a URL; nothing otherwise.
  std::optional<URL> loadURL(ItemProvider& provider) const;

  // The provider's item of `type` as text: a string, an attributed string's plain string, or
  // bytes that are valid UTF-8; nothing otherwise.
  std::optional<std::string> loadText(ItemProvider& provider, const std::string& type) const;

  // A private copy of the file the provider lends for `type`, made before the provider's
  // completion returns; nothing when no local file was lent or the copy failed (a partial copy
  // is removed).
  std::optional<URL> copyFile(ItemProvider& provider, const std::string& type) const;

 private:
  std::optional<ShareRepresentation> representation(ItemProvider& provider) const;

  std::filesystem::path temporaryDirectory_;
};

}  // namespace kestro
