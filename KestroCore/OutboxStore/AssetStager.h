#pragma once

#include <string>
#include <string_view>

#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/Outbox/OutboxRecord.h"

namespace kestro {

// Makes the private, stable copy of a shared file that the outbox later uploads, and describes
// it as a StagedAsset. The share target stages every file before it enqueues the capture, so the
// upload never depends on the original staying where it was or staying the same.
//
// Stateless: `stage` may run on any number of threads at once, for the same directory too.
namespace AssetStager {

// Copies `source` into the directory `in` and returns the description of the copy.
//
// - `in` is created with any missing parents. Directories created here are readable by the
//   user only (mode 0700, further narrowed by the umask); an existing directory is used as it
//   is, its mode untouched, since the caller may have reasons for it.
// - The copy is named "<new UUID>-<source file name>" and made readable and writable by the user
//   only (0600). Its name is shortened, keeping the extension, when the prefix would push it
//   past the file system's 255-byte limit on a name; `filename` keeps the whole name.
// - `sha256` and `byteCount` describe the bytes written to the copy, which are exactly its
//   contents. The source is read once.
// - While it is written, the copy is named ".<UUID>.partial" (a dot, the UUID of its final name
//   in upper case, ".partial"), in the same directory; it takes its final name only after its
//   contents are flushed. A name of that shape is therefore never a whole staged copy: one left
//   behind is what remains of a staging cut short by a crash or a kill. Nothing else removes
//   it; whoever prunes the directory may, once no staging into it can still be running.
// - Before returning, the copy's contents, its directory entry and the entries of any
//   directories created here are flushed to disk: a record that commits after `stage` returns
//   cannot outlive its file across a power loss.
// - `filename` is the source's file name as text for the server: bytes that are not valid UTF-8
//   (Linux allows any bytes but "/" and NUL in a name) are replaced by U+FFFD, one for each
//   maximal invalid subsequence as Unicode recommends, so the record can always be written as
//   JSON. The staged copy keeps the exact bytes, and `localURL` percent-escapes them, so the
//   copy is still found.
// - `mimeType` and `role` are stored unchanged; `uploadId` is absent; `clientAssetId` is a
//   second fresh UUID, unrelated to the one in the file name.
//
// Throws:
// - std::invalid_argument when `source` or `in` is not a local file URL with an absolute path.
//   Nothing has been touched then.
// - std::filesystem::filesystem_error (a std::system_error) carrying the operating system's
//   error and the path(s) concerned, when a directory cannot be created, an existing file at the
//   destination cannot be removed, the source cannot be opened or is not a regular file, or
//   reading, writing, flushing or renaming fails. Directories created before the failure stay;
//   a copy that was started is removed, since no record will ever point at it.
// - std::runtime_error if OpenSSL cannot provide SHA-256.
//
// Not guaranteed: a source that another process changes during the copy yields some mixture of
// its old and new contents; the digest still matches the copy. The copy does not keep the
// source's permissions, owner or times.
StagedAsset stage(const URL& source, const URL& in, const std::string& mimeType, AssetRole role);

// Stages `source` by moving it into `in` instead of copying it, for a file that nobody else holds
// on to (standard input that a share's host wrote into the storage directory, say): renamed to
// the unfinished name, read once for its digest, flushed and given its final name, as `stage`
// does with its copy. On another file system than `in` it is copied as `stage` copies, and then
// removed. Throws as `stage` does; `source` is gone afterwards whether staging succeeded or not,
// since nothing else would remove it.
StagedAsset stageByMoving(const URL& source, const URL& in, const std::string& mimeType,
                          AssetRole role);

// ".<ID>.partial": the name of a copy still being written, for others who write a file into a
// staging directory in steps and want it recognised as unfinished (and pruned) until it is whole.
std::string unfinishedCopyName(const UUID& id);

// Whether `filename` is the name of a copy still being written (".<UUID>.partial"): what a
// staging interrupted by a crash leaves behind.
bool isUnfinishedCopyName(std::string_view filename);

}  // namespace AssetStager
}  // namespace kestro
