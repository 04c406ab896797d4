#pragma once

// The file work that must go through the operating system directly, because std::filesystem
// cannot say it: directories created with a mode from the start, files opened exclusively,
// flushing data and directory entries to disk. Every failure is a
// std::filesystem::filesystem_error carrying the system's error and the path(s) concerned.
//
// Stateless; safe to call from any number of threads.

#include <sys/types.h>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Platform/Files/FileDescriptor.h"

namespace kestro::files {

// The name of the file itself: the last component of `path`, trailing slashes ignored. Taken from
// a decoded path rather than a URL's last component, which would turn an escaped "%2F" into a "/"
// inside the name and let a copy named after it land outside its directory.
std::string fileName(const std::filesystem::path& path);

// `prefix` followed by `name`, within the 255-byte limit every file system we write to (ext4,
// btrfs, xfs, tmpfs) sets on a name: a name that does not fit after the prefix loses bytes from
// the end of its stem, never from its extension (which viewers and type sniffing rely on; up to
// 32 bytes of it), and never in the middle of a UTF-8 sequence. `prefix` must leave room for
// that (at most 200 bytes).
std::string prefixedFileName(std::string_view prefix, const std::string& name);

// Throws std::filesystem::filesystem_error for `error` (an errno value).
[[noreturn]] void throwError(const char* what, const std::filesystem::path& path, int error);
[[noreturn]] void throwError(const char* what, const std::filesystem::path& path1,
                             const std::filesystem::path& path2, int error);

// Creates `directory` and its missing parents with `mode` (narrowed by the umask) and returns
// the directories it created, outermost first. Existing directories are left as they are;
// another process creating the same directory at the same moment is fine. Unlike
// std::filesystem::create_directories, no directory is ever visible with a wider mode.
std::vector<std::filesystem::path> createDirectories(const std::filesystem::path& directory,
                                                     mode_t mode);

// Opens an existing regular file for reading. Anything else (a directory, a FIFO, a device) is
// refused: those have no end, or no fixed one. A FIFO is refused without waiting for a writer.
FileDescriptor openRegularFileForReading(const std::filesystem::path& path);

// Creates a new file for writing with `mode`; fails with EEXIST rather than writing through
// whatever is at the name.
FileDescriptor createNewFile(const std::filesystem::path& path, mode_t mode);

// Writes all of `data`, going on after partial writes and interruptions.
void writeAll(int fd, const void* data, std::size_t size, const std::filesystem::path& path);

// Reads up to `size` bytes; 0 at the end of the file. Interruptions are retried.
std::size_t readSome(int fd, void* buffer, std::size_t size, const std::filesystem::path& path);

// Hints that `fd` will be read from start to end once (more read-ahead). Only a hint.
void adviseSequentialRead(int fd) noexcept;

// Starts writing back the given range of `fd` without waiting for it, so the disk works while
// the caller goes on; syncFile later waits only for what is left. Only a hint.
void startWriteBack(int fd, off_t offset, off_t length) noexcept;

// Removes a file, ignoring any failure: for clean-up paths that must not throw.
void removeFileQuietly(const std::filesystem::path& path) noexcept;

// Flushes a file's data to disk.
void syncFile(int fd, const std::filesystem::path& path);

// Makes the entries of a directory durable. File systems that cannot sync a directory say
// EINVAL; their entries are as durable as they will get, and that is not an error.
void syncDirectory(const std::filesystem::path& directory);

}  // namespace kestro::files
