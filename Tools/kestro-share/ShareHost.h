#pragma once

// kestro-share's side of the share request: it plays the extension host, turning its command
// line into an extension context with the items a desktop would offer, running the share
// target's handler through its life cycle on the main thread, and reporting how it ended.

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Extension/ExtensionContext.h"

namespace kestro::sharehost {

// What the user asked to share, in command-line order.
struct Argument {
  enum class Kind { item, text };
  Kind kind;
  std::string value;  // a path, a URL or "-" for an item; the text itself for a text
};

// A command line that names nothing shareable as asked: a missing file, standard input twice,
// an unknown --type. Its message is for the user.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Builds the request's context, one extension item per argument:
// - an http or https address: a provider of public.url delivering the URL;
// - a file path or file URL (of an existing regular file): a provider of public.file-url
//   delivering the file's URL, and of the file's own type lending the file itself;
// - any other URL (mailto:, sftp:): a provider of public.url, as a desktop offers a link;
// - "-": standard input, read to its end into `hostDirectory`, offered as text
//   (public.plain-text), or as `stdinType` when given; either way as an item (its bytes, up to
//   16 MiB) and as a file;
// - a text: a provider of public.plain-text delivering the string.
// Throws UsageError, or std::filesystem::filesystem_error when standard input cannot be read or
// written out.
std::shared_ptr<ExtensionContext> makeContext(const std::vector<Argument>& arguments,
                                              const std::optional<std::string>& stdinType,
                                              const std::filesystem::path& hostDirectory);

}  // namespace kestro::sharehost
