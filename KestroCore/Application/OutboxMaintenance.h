#pragma once

// Looking after the outbox on the user's behalf: removing what has been sent (and the files
// staged for it), sweeping what failed shares left behind, making a waiting capture try again
// now, and handing a stuck capture to the user as files.
//
// Threads: each function works through the OutboxStore it is given (safe from any thread) and on
// the file system; two prunes at once each remove what they find, and neither fails because of
// the other.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/OutboxStore/OutboxStore.h"

namespace kestro {

// A staging directory (or a ".<UUID>.partial" file) is never swept while anything in it is
// younger than this, whatever age the user gives: a share may be staging into it right now, and
// its record appears only once its files are in place. Staging a large file keeps touching its
// partial file, so only the moment between the last write and the record counts.
inline constexpr std::chrono::minutes kStagingGracePeriod{15};

struct PruneReport {
  std::vector<UUID> removedRecords;                 // sent or cancelled records, of every user
  std::vector<std::filesystem::path> removedFiles;  // their staged files, and partial leftovers
  std::vector<std::filesystem::path> removedDirectories;  // staging directories swept whole
  std::uint64_t freedBytes = 0;                           // sizes of the files removed
};

// Removes every sent (complete) or cancelled record last written more than `olderThan` before
// `now` (OutboxStore::removeCompleted), then the staged files of exactly those records (and their
// staging directories once empty), then the abandoned staging directories: those under
// `<storageDirectory>/attachments/` named as a capture id that no record refers to and in which
// nothing changed for `olderThan` (and kStagingGracePeriod), such as a share that failed at the
// sign-in gate left. ".<UUID>.partial" leftovers of interrupted staging are removed from
// directories that records still use, by the same age rule. Records in any other state keep
// every file. Files are removed only inside the attachments directory, whatever a record says.
// Throws what the store throws (nothing is removed then); files that vanish meanwhile are
// skipped, and other file errors end the sweep with std::filesystem::filesystem_error after
// what was already removed.
PruneReport pruneOutbox(OutboxStore& store, const std::filesystem::path& storageDirectory,
                        std::chrono::seconds olderThan, Date now);

// Which directories directly under `attachments` are abandoned staging directories: a directory
// (not a link) named as a capture id, for which `isReferenced` is false, whose own and whose
// entries' modification times are all before `cutoff`. In name order. Missing `attachments`:
// none.
std::vector<std::filesystem::path> abandonedStagingDirectories(
    const std::filesystem::path& attachments,
    const std::function<bool(const UUID& captureId)>& isReferenced, Date cutoff);

struct SentFilesReport {
  std::vector<UUID> captures;         // whose staging directories went, in name order
  std::uint64_t freedBytes = 0;       // sizes of the files removed
  std::vector<std::string> failures;  // directories that could not be removed, and why
};

// Removes the staging directory `<storageDirectory>/attachments/<capture id>/` of every capture
// the server has (its record is complete) whose record was last written `retention` or longer
// before `now`, of every user; the records stay, and still show as sent. Only a directory (not
// a link) named exactly as its capture's id is removed, and only after its record was read
// afresh and found complete: a record in any other state (queued, waiting to retry, set aside,
// cancelled), a directory without a record (a share staging into it) and a record that cannot
// be read keep every file. A record once complete never changes state again, so no share or
// flush can make the decision wrong after it. Throws what the store throws, after what was
// already removed; a directory that cannot be removed is listed in `failures` and the others are
// still done.
SentFilesReport removeSentFiles(OutboxStore& store, const std::filesystem::path& storageDirectory,
                                std::chrono::seconds retention, Date now);

// Makes a capture that waits to retry due now (OutboxStore::makeDue). Throws ApplicationError
// (failure) saying where the capture stands when it is not waiting to retry, or has stopped
// waiting meanwhile.
OutboxRecord retryNow(OutboxStore& store, const OutboxRecord& record, Date now);

// Sets a capture aside for good, at the user's word (blocked_user_action, "needs attention"): it
// is never sent and never pruned, and stays until exported and the account's data deleted. For a
// capture the server refuses whatever happens. Throws ApplicationError (failure) saying where the
// capture stands when it was sent, cancelled or set aside already (also when another process got
// there first), or is gone.
OutboxRecord setAside(OutboxStore& store, const OutboxRecord& record);

struct ExportReport {
  std::filesystem::path directory;                 // <destination>/kestro-capture-<ID>
  std::filesystem::path recordFile;                // <directory>/record.json
  std::vector<std::filesystem::path> copiedFiles;  // under <directory>/files/
  std::vector<std::string> missingFiles;           // staged files no longer on disk, by their names
};

// Writes the record's JSON (indented, keys sorted) and copies of its staged files, under their
// own names, into a new directory `<destination>/kestro-capture-<ID>`; the outbox is not
// changed. Everything it creates is the user's alone, whatever the umask: folders 0700 (also
// `destination` when it is missing), files 0600. Throws ApplicationError (failure) when that
// directory exists already (nothing is overwritten), and std::filesystem::filesystem_error when
// writing fails; files staged but gone are listed, not an error.
ExportReport exportRecord(const OutboxRecord& record, const std::filesystem::path& destination);

}  // namespace kestro
