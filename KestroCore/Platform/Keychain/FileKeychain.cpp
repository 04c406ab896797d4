#include "KestroCore/Platform/Keychain/FileKeychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Items = std::map<std::pair<std::string, std::string>, std::string>;

constexpr mode_t kDirectoryMode = S_IRWXU;
constexpr mode_t kFileMode = S_IRUSR | S_IWUSR;
// Far beyond any number of tokens; a larger file is not ours.
constexpr off_t kMaximumFileBytes = 1 << 20;
constexpr const char* kHexDigits = "0123456789abcdef";

// How an operation ends early: with this status.
struct Refusal {
  std::int32_t status;
};

[[noreturn]] void refuse(std::int32_t status) { throw Refusal{status}; }

// The system's error for a name that must be neither a link nor another user's.
[[noreturn]] void refuseOpening(int error) {
  // O_NOFOLLOW on a link gives ELOOP; O_DIRECTORY on a link or a file gives ENOTDIR.
  refuse(error == ELOOP || error == ENOTDIR ? kKeychainStatusInvalidKeychain
                                            : kKeychainStatusIOError);
}

std::string hexOf(std::string_view bytes) {
  std::string text;
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    text += kHexDigits[value >> 4];
    text += kHexDigits[value & 0xF];
  }
  return text;
}

int hexDigit(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

std::string bytesOfHex(const std::string& text) {
  if (text.size() % 2 != 0) refuse(kKeychainStatusDecode);
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hexDigit(text[i]);
    const int low = hexDigit(text[i + 1]);
    if (high < 0 || low < 0) refuse(kKeychainStatusDecode);
    bytes += static_cast<char>((high << 4) | low);
  }
  return bytes;
}

// The directory that holds the file, opened without following a link at its own name; when
// `create`, made (0700) if missing and narrowed to the user alone if wider. An invalid descriptor
// when it is missing and not to be made.
FileDescriptor openDirectory(const fs::path& directory, bool create) {
  if (create) files::createDirectories(directory, kDirectoryMode);
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT && !create) return fd;
    refuseOpening(errno);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) refuse(kKeychainStatusIOError);
  if (status.st_uid != ::geteuid()) refuse(kKeychainStatusInvalidKeychain);
  // A directory made earlier under a looser umask (or by hand) loses its group and other bits.
  constexpr mode_t kOthers = S_IRWXG | S_IRWXO;
  if (create && (status.st_mode & kOthers) != 0 &&
      ::fchmod(fd.get(), status.st_mode & 07777 & ~kOthers) != 0) {
    refuse(kKeychainStatusIOError);
  }
  return fd;
}

Items parseItems(const std::string& text) {
  const json document = json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object()) refuse(kKeychainStatusDecode);
  const auto list = document.find("items");
  if (list == document.end() || !list->is_array()) refuse(kKeychainStatusDecode);
  Items items;
  for (const json& item : *list) {
    if (!item.is_object()) refuse(kKeychainStatusDecode);
    const auto service = item.find("service");
    const auto account = item.find("account");
    const auto value = item.find("value");
    const auto hex = item.find("hex");
    if (service == item.end() || !service->is_string() || account == item.end() ||
        !account->is_string() || (value == item.end()) == (hex == item.end())) {
      refuse(kKeychainStatusDecode);
    }
    const std::string& serviceText = service->get_ref<const std::string&>();
    const std::string& accountText = account->get_ref<const std::string&>();
    if (!isValidKeychainAttribute(serviceText) || !isValidKeychainAttribute(accountText)) {
      refuse(kKeychainStatusDecode);
    }
    std::string bytes;
    if (value != item.end()) {
      if (!value->is_string()) refuse(kKeychainStatusDecode);
      bytes = value->get<std::string>();
    } else {
      if (!hex->is_string()) refuse(kKeychainStatusDecode);
      bytes = bytesOfHex(hex->get<std::string>());
    }
    if (!items.emplace(std::pair{serviceText, accountText}, std::move(bytes)).second) {
      refuse(kKeychainStatusDecode);
    }
  }
  return items;
}

// The items of the file `name` in `directory`; none when it does not exist.
Items readItems(int directory, const std::string& name, const fs::path& path) {
  // O_NONBLOCK: a FIFO planted at the name is refused below rather than waited on.
  FileDescriptor fd(
      ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    if (errno == ENOENT) return {};
    refuseOpening(errno);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) refuse(kKeychainStatusIOError);
  if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
    refuse(kKeychainStatusInvalidKeychain);
  }
  if (status.st_size > kMaximumFileBytes) refuse(kKeychainStatusDecode);
  std::string text;
  char buffer[4096];
  while (const std::size_t size = files::readSome(fd.get(), buffer, sizeof buffer, path)) {
    text.append(buffer, size);
    if (text.size() > static_cast<std::size_t>(kMaximumFileBytes)) refuse(kKeychainStatusDecode);
  }
  return parseItems(text);
}

std::string textOf(const Items& items) {
  json list = json::array();
  for (const auto& [key, bytes] : items) {
    json item{{"service", key.first}, {"account", key.second}};
    if (isValidUTF8(bytes)) {
      item["value"] = bytes;
    } else {
      item["hex"] = hexOf(bytes);
    }
    list.push_back(std::move(item));
  }
  return json{{"items", std::move(list)}}.dump(2) + "\n";
}

void syncDirectory(int directory) {
  if (::fsync(directory) != 0 && errno != EINVAL) refuse(kKeychainStatusIOError);
}

// Replaces the file `name` in `directory` by one holding `items`, or removes it when there are
// none. Runs under the directory's lock.
void writeItems(int directory, const std::string& name, const fs::path& path, const Items& items) {
  if (items.empty()) {
    if (::unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) {
      refuse(kKeychainStatusIOError);
    }
    syncDirectory(directory);
    return;
  }
  const std::string text = textOf(items);
  const std::string temporary = name + ".new";
  // Under the lock nobody else writes it: what is there is left over by a crash (or planted),
  // and goes, a link as a link.
  if (::unlinkat(directory, temporary.c_str(), 0) != 0 && errno != ENOENT) {
    refuse(errno == EISDIR ? kKeychainStatusInvalidKeychain : kKeychainStatusIOError);
  }
  {
    FileDescriptor fd(::openat(directory, temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!fd.valid()) refuse(kKeychainStatusIOError);
    try {
      // The umask may have taken bits away; 0600 exactly.
      if (::fchmod(fd.get(), kFileMode) != 0) refuse(kKeychainStatusIOError);
      files::writeAll(fd.get(), text.data(), text.size(), path);
      files::syncFile(fd.get(), path);
    } catch (...) {
      ::unlinkat(directory, temporary.c_str(), 0);
      throw;
    }
  }
  if (::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) {
    ::unlinkat(directory, temporary.c_str(), 0);
    refuse(kKeychainStatusIOError);
  }
  syncDirectory(directory);
}

// Takes the directory's lock; it goes with the descriptor.
void lockDirectory(int directory) {
  while (::flock(directory, LOCK_EX) != 0) {
    if (errno != EINTR) refuse(kKeychainStatusIOError);
  }
}

bool validKey(std::string_view service, std::string_view account) {
  return isValidKeychainAttribute(service) && isValidKeychainAttribute(account);
}

// Runs `operation`, turning its refusals and the system's failures into statuses.
template <class Operation>
std::int32_t statusOf(Operation operation) {
  try {
    return operation();
  } catch (const Refusal& refusal) {
    return refusal.status;
  } catch (const fs::filesystem_error& error) {
    return error.code() == std::errc::not_a_directory || error.code() == std::errc::too_many_links
               ? kKeychainStatusInvalidKeychain
               : kKeychainStatusIOError;
  }
}

}  // namespace

std::int32_t FileKeychain::add(std::string_view service, std::string_view account,
                               std::string_view data) {
  if (!validKey(service, account)) return kKeychainStatusInvalidParameter;
  return statusOf([&] {
    const FileDescriptor directory = openDirectory(file_.parent_path(), true);
    lockDirectory(directory.get());
    Items items = readItems(directory.get(), files::fileName(file_), file_);
    items.insert_or_assign({std::string(service), std::string(account)}, std::string(data));
    writeItems(directory.get(), files::fileName(file_), file_, items);
    return kKeychainStatusSuccess;
  });
}

KeychainCopyResult FileKeychain::copyMatching(std::string_view service, std::string_view account) {
  if (!validKey(service, account)) return {kKeychainStatusInvalidParameter, std::nullopt};
  KeychainCopyResult result{kKeychainStatusItemNotFound, std::nullopt};
  result.status = statusOf([&] {
    const FileDescriptor directory = openDirectory(file_.parent_path(), false);
    if (!directory.valid()) return kKeychainStatusItemNotFound;
    Items items = readItems(directory.get(), files::fileName(file_), file_);
    const auto item = items.find(std::pair{std::string(service), std::string(account)});
    if (item == items.end()) return kKeychainStatusItemNotFound;
    result.data = std::move(item->second);
    return kKeychainStatusSuccess;
  });
  if (result.status != kKeychainStatusSuccess) result.data.reset();
  return result;
}

std::int32_t FileKeychain::deleteMatching(std::string_view service, std::string_view account) {
  if (!validKey(service, account)) return kKeychainStatusInvalidParameter;
  return statusOf([&] {
    const FileDescriptor directory = openDirectory(file_.parent_path(), false);
    if (!directory.valid()) return kKeychainStatusItemNotFound;
    lockDirectory(directory.get());
    Items items = readItems(directory.get(), files::fileName(file_), file_);
    if (items.erase(std::pair{std::string(service), std::string(account)}) == 0) {
      return kKeychainStatusItemNotFound;
    }
    writeItems(directory.get(), files::fileName(file_), file_, items);
    return kKeychainStatusSuccess;
  });
}

std::int32_t FileKeychain::deleteAll() {
  return statusOf([&] {
    const FileDescriptor directory = openDirectory(file_.parent_path(), false);
    if (!directory.valid()) return kKeychainStatusItemNotFound;
    lockDirectory(directory.get());
    const std::string name = files::fileName(file_);
    const std::string temporary = name + ".new";
    ::unlinkat(directory.get(), temporary.c_str(), 0);
    if (::unlinkat(directory.get(), name.c_str(), 0) != 0) {
      if (errno == ENOENT) return kKeychainStatusItemNotFound;
      refuse(errno == EISDIR ? kKeychainStatusInvalidKeychain : kKeychainStatusIOError);
    }
    syncDirectory(directory.get());
    return kKeychainStatusSuccess;
  });
}

}  // namespace kestro
