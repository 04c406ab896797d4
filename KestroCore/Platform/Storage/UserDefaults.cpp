#include "KestroCore/Platform/Storage/UserDefaults.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/FileLock.h"
#include "KestroCore/Platform/Files/Files.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using Values = nlohmann::json;

// Settings are a handful of short strings; anything near this size is not a settings file.
constexpr std::size_t kMaximumFileSize = 1 << 20;

constexpr std::string_view kFileExtension = ".json";
constexpr std::string_view kLockExtension = ".lock";

Values readValues(const fs::path& file) {
  FileDescriptor fd;
  try {
    fd = files::openRegularFileForReading(file);
  } catch (const fs::filesystem_error& error) {
    if (error.code() == std::errc::no_such_file_or_directory) return Values::object();
    throw;
  }
  std::string text;
  char buffer[16384];
  for (;;) {
    const std::size_t size = files::readSome(fd.get(), buffer, sizeof buffer, file);
    if (size == 0) break;
    text.append(buffer, size);
    if (text.size() > kMaximumFileSize) {
      throw UserDefaultsError("settings file is larger than 1 MiB", file);
    }
  }
  // An empty file (made by touch, say) is an empty suite.
  if (trimmingWhitespaceAndNewlines(text).empty()) return Values::object();
  Values values = Values::parse(text, nullptr, false);
  if (values.is_discarded() || !values.is_object()) {
    throw UserDefaultsError("settings file is not a JSON object", file);
  }
  return values;
}

// Replaces `file` with `text`: written beside it under a fresh name, flushed, then renamed over
// it, so that no reader ever sees part of a file.
void replaceFile(const fs::path& file, const std::string& text) {
  const fs::path temporary = file.native() + ".tmp-" + UUID().uuidString();
  {
    const FileDescriptor fd = files::createNewFile(temporary, 0600);
    try {
      files::writeAll(fd.get(), text.data(), text.size(), temporary);
      files::syncFile(fd.get(), temporary);
    } catch (...) {
      files::removeFileQuietly(temporary);
      throw;
    }
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    const int error = errno;
    files::removeFileQuietly(temporary);
    files::throwError("cannot replace settings file", temporary, file, error);
  }
}

void requireUTF8(std::string_view text, const char* what) {
  if (!isValidUTF8(text)) {
    throw std::invalid_argument(std::string("UserDefaults: the ") + what + " is not UTF-8");
  }
}

}  // namespace

struct UserDefaults::MemoryStore {
  std::mutex mutex;
  Values values = Values::object();
};

UserDefaults::UserDefaults(fs::path file, fs::path lock)
    : file_(std::move(file)), lock_(std::move(lock)) {}

UserDefaults::UserDefaults(std::shared_ptr<MemoryStore> memory) : memory_(std::move(memory)) {}

std::optional<UserDefaults> UserDefaults::suite(std::string_view suiteName,
                                                const UserDirectories& directories) {
  const auto& home = directories.configurationHome();
  // The longest name the suite ever uses is that of a replacement being written (replaceFile):
  // it must fit too, or every write would fail.
  const std::string longestName =
      std::string(suiteName) + std::string(kFileExtension) + ".tmp-" + UUID().uuidString();
  if (!home || !isPlainFileName(std::string(suiteName)) || !isPlainFileName(longestName)) {
    return std::nullopt;
  }
  const std::string name(suiteName);
  return UserDefaults(*home / (name + std::string(kFileExtension)),
                      *home / (name + std::string(kLockExtension)));
}

UserDefaults UserDefaults::standard(const UserDirectories& directories) {
  if (auto own = suite(program_invocation_short_name, directories)) return std::move(*own);
  static const auto memory = std::make_shared<MemoryStore>();
  return UserDefaults(memory);
}

std::optional<std::string> UserDefaults::string(std::string_view forKey) const {
  const std::string key(forKey);
  Values values;
  if (memory_) {
    const std::lock_guard lock(memory_->mutex);
    values = memory_->values;
  } else {
    values = readValues(file_);
  }
  const auto found = values.find(key);
  if (found == values.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

template <class Change>
void UserDefaults::modify(Change&& change) const {
  if (memory_) {
    const std::lock_guard lock(memory_->mutex);
    change(memory_->values);
    return;
  }
  files::createDirectories(file_.parent_path(), 0700);
  // Read, change and replace under the suite's lock, so that no process loses another's keys.
  const FileLock lock = FileLock::acquire(lock_);
  Values values = readValues(file_);
  if (!change(values)) return;
  replaceFile(file_, values.dump(2) + "\n");
}

void UserDefaults::set(std::string_view value, std::string_view forKey) const {
  requireUTF8(forKey, "key");
  requireUTF8(value, "value");
  modify([&](Values& values) {
    Values& slot = values[std::string(forKey)];
    if (slot.is_string() && slot.get_ref<const std::string&>() == value) return false;
    slot = std::string(value);
    return true;
  });
}

std::string UserDefaults::stringOrSet(std::string_view forKey,
                                      const std::function<bool(const std::string&)>& accepts,
                                      const std::function<std::string()>& makeValue) const {
  requireUTF8(forKey, "key");
  std::string result;
  modify([&](Values& values) {
    Values& slot = values[std::string(forKey)];
    if (slot.is_string() && accepts(slot.get_ref<const std::string&>())) {
      result = slot.get<std::string>();
      return false;
    }
    result = makeValue();
    requireUTF8(result, "value");
    slot = result;
    return true;
  });
  return result;
}

void UserDefaults::removeObject(std::string_view forKey) const {
  modify([&](Values& values) { return values.erase(std::string(forKey)) > 0; });
}

std::optional<fs::path> UserDefaults::filePath() const {
  if (memory_) return std::nullopt;
  return file_;
}

}  // namespace kestro
