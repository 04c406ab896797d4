#pragma once

#include <filesystem>

namespace kestro::share {

// Copies the regular file `source` to `destination`, a new file readable and writable by the
// user only. Not flushed to disk: the copy is a temporary one, read again at once by staging,
// which makes its own durable copy. Throws std::filesystem::filesystem_error; a partial copy is
// removed first.
void copyToPrivateFile(const std::filesystem::path& source,
                       const std::filesystem::path& destination);

}  // namespace kestro::share
