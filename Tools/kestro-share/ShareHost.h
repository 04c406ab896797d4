#pragma once

// kestro-share's side of the share request: it plays the extension host, turning its command
// line into an extension context with the items a desktop would offer, running the share
// target's handler through its life cycle on the main thread, and reporting how it ended.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KestroCore/MacShareExtension/ExtensionSettings.h"
#include "KestroCore/MacShareExtension/ShareError.h"
#include "KestroCore/Platform/Extension/ExtensionContext.h"

namespace kestro::sharehost {

// What the user asked to share, in command-line order.
struct Argument {
  enum class Kind { item, text };
  Kind kind;
  std::string value;  // a path, a URL or "-" for an item; the text itself for a text
};

// A command line that names nothing shareable as asked: a missing file, standard input twice,
// an unknown --type. Its message is for the user.
class UsageError : public ShareError {
 public:
  explicit UsageError(std::string message)
      : ShareError(ShareFailure::unusableRequest, std::move(message)) {}
};

// Standard input that would have left its disk with less free space than it must keep.
class DiskFullError : public ShareError {
 public:
  explicit DiskFullError(std::string message)
      : ShareError(ShareFailure::storage, std::move(message)) {}
};

// The request as the share target receives it.
struct Request {
  std::shared_ptr<ExtensionContext> context;
  // Standard input's file, when it went to one: the share target may take it (see
  // ShareEnvironment::handedOverFiles).
  std::vector<HandedOverFile> handedOverFiles;
};

// Builds the request's context, one extension item per argument:
// - an http or https address: a provider of public.url delivering the URL;
// - a file path or file URL (of an existing regular file): a provider of public.file-url
//   delivering the file's URL, and of the file's own type lending the file itself;
// - any other URL (mailto:, sftp:): a provider of public.url, as a desktop offers a link;
// - "-": standard input, read to its end. Text (without `stdinType`, or a text type) of up to
//   16 MiB that is UTF-8 is offered as text and never touches the disk. Anything else is written
//   once into `standardInputDirectory` (created if missing), named as an unfinished staging copy
//   while it is read and "stdin.<extension of its type>" once whole, and offered as that file.
//   Reading stops, with nothing kept, before the file system would have less than a safety
//   margin free (a twentieth of its size, within 16 MiB and 1 GiB).
// - a text: a provider of public.plain-text delivering the string.
// Throws UsageError; DiskFullError when standard input would fill the disk;
// std::filesystem::filesystem_error when it cannot be read or written out. What was written of
// standard input stays: the caller owns `standardInputDirectory`.
Request makeRequest(const std::vector<Argument>& arguments,
                    const std::optional<std::string>& stdinType,
                    const std::filesystem::path& standardInputDirectory);

// A size as a person reads it: "812 bytes", "3.4 KiB", "48.0 MiB".
std::string byteCountText(std::uint64_t bytes);

}  // namespace kestro::sharehost
