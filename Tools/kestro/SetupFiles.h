#pragma once

// The file work of the commands that set Kestro up in the user's desktop and browsers (`kestro
// desktop install`, `kestro browser install`): finding the program installed beside this
// kestro, reading what stands at one of our names, and replacing a file at once.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestro::commands {

// The program `name` in the folder of this kestro, by its absolute path. Throws ApplicationError
// when there is none there (the two are installed together).
std::filesystem::path programBesideThisKestro(std::string_view name);

// The bytes of a regular file of at most 16 MiB, or nothing when there is none. Throws
// ApplicationError when one is there but cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path);

// Replaces `path` at once by a file holding `contents` with `mode`, creating its folder (0700)
// when missing: a reader sees the old file or the new one, never a part.
void writeFileAtomically(const std::filesystem::path& path, std::string_view contents, mode_t mode);

}  // namespace kestro::commands
