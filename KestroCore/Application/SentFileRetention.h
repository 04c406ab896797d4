#pragma once

// How long the files of sent captures stay on this device. Once the server has a capture, its
// staged copies (attachments/<capture id>/) only take room; after the retention the user sets
// they are removed (removeSentFiles), while the record stays and still shows the capture as
// sent. `kestro flush` does it after each flush, the watcher after its flushes and now and then
// while idle.
//
// The setting: "kestro.sent-file-retention" in the application's settings
// (<configuration home>/kestro/settings.json), a duration as `outbox prune` takes it ("12h",
// "1d", "2w", "0" for at once); a day when absent.
//
// Threads: a SentFileSweeper is used by one thread at a time; the functions are safe from any.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "KestroCore/Application/ApplicationPlaces.h"
#include "KestroCore/Application/OutboxMaintenance.h"
#include "KestroCore/Foundation/Date.h"
#include "KestroCore/OutboxStore/OutboxStore.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"

namespace kestro {

namespace settingskeys {
inline constexpr std::string_view kSentFileRetention = "kestro.sent-file-retention";
}  // namespace settingskeys

inline constexpr std::chrono::seconds kDefaultSentFileRetention = std::chrono::hours(24);

// The retention set in the application's settings `settings`, read afresh; the default when it
// is not set. Throws ApplicationError (failure) naming the setting, its file and what is wrong
// when its value is not a duration (also a number or anything else that is not text), and what
// reading the suite throws (UserDefaultsError, std::filesystem::filesystem_error) when its file
// cannot be read.
std::chrono::seconds sentFileRetention(const UserDefaults& settings);

// removeSentFiles with the retention the user set, again and again. Never throws: what goes
// wrong (the setting cannot be read, the database is locked, a directory cannot be removed) is
// told to `complain` as one line, once for as long as it goes on: the same line again only after
// a sweep that went well. While the setting cannot be read, nothing is removed.
class SentFileSweeper {
 public:
  SentFileSweeper(ApplicationPlaces places, std::function<void(const std::string&)> complain);

  // What went; nothing when the sweep did not run to its end.
  std::optional<SentFilesReport> sweep(OutboxStore& store, Date now);

 private:
  ApplicationPlaces places_;
  std::function<void(const std::string&)> complain_;
  std::optional<std::string> lastComplaint_;
};

}  // namespace kestro
