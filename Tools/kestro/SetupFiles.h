#pragma once

// The file work of the commands that set Kestro up in the user's desktop and browsers (`kestro
// desktop install`, `kestro browser install`): finding the program installed beside this
// kestro, reading what stands at one of our names, and replacing a file at once.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Prints one line of what a setup command did to standard output.
void say(const std::string& line);

// What stands at one of our names: nothing, a file of ours (with its contents and mode), or
// something of the user's (a file `isOurs` does not recognise, a folder, a link).
struct FoundFile {
  enum class Kind { none, ours, foreign } kind = Kind::none;
  std::string contents;
  mode_t mode = 0;
};
using OwnershipTest = std::function<bool(const std::string& contents)>;
FoundFile lookAtFile(const std::filesystem::path& path, const OwnershipTest& isOurs);

// One of the files a setup command writes: where, and what it is, for the messages.
struct SetupFile {
  std::filesystem::path path;
  std::string what;
};

// Removes those of `files` that are ours and leaves the others as they are, saying which for
// each; every one is looked at before any is removed. True when one was removed.
bool removeOurFiles(const std::vector<SetupFile>& files, const OwnershipTest& isOurs);

}  // namespace kestro::commands
