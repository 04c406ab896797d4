#pragma once

#include <filesystem>

#include "KestroCore/Platform/Keychain/Keychain.h"

namespace kestro {

// A keychain in one file of the user's own, for a machine without a Secret Service (a server,
// an SSH session, a minimal desktop) when the user asks for it. The values lie in the file in
// clear: anyone who can read the user's files (their programs, root, a backup) can read them.
//
// The file is a JSON object, {"items": [{"service": S, "account": A, "value": V}, ...]}, one item
// per (service, account); a value that is not UTF-8 is kept as "hex" (its bytes in hexadecimal)
// instead of "value". It has mode 0600 in a directory of mode 0700, whatever the umask: the
// directory is created so, or narrowed to it when a change finds it wider.
//
// Every change happens under an exclusive lock on the directory (flock), so that two processes
// changing items at once lose neither change: the file is read, the new contents written beside
// it (<name>.new, created afresh), flushed to disk and renamed over it, and the directory
// flushed. A crash leaves the old file or the new one, never part of one. Reading takes no lock.
// Deleting the last item removes the file.
//
// Refused and never followed: a symbolic link, or anything but a regular file, at the file's or
// the directory's name, and a file or directory that another user owns
// (kKeychainStatusInvalidKeychain). A file that is not what this keychain writes is
// kKeychainStatusDecode, never "not found", and no change writes over it. The system's own
// refusals (permissions, a full disk) are kKeychainStatusIOError.
//
// Safe to use from several threads, and from several processes on one file.
class FileKeychain final : public Keychain {
 public:
  explicit FileKeychain(std::filesystem::path file) : file_(std::move(file)) {}

  std::int32_t add(std::string_view service, std::string_view account,
                   std::string_view data) override;
  KeychainCopyResult copyMatching(std::string_view service, std::string_view account) override;
  std::int32_t deleteMatching(std::string_view service, std::string_view account) override;

  // Removes the file whatever it holds, damaged or not (a link at its name: the link alone).
  // 0, kKeychainStatusItemNotFound when there was none, or a failure status.
  std::int32_t deleteAll();

  const std::filesystem::path& file() const noexcept { return file_; }

 private:
  std::filesystem::path file_;
};

}  // namespace kestro
