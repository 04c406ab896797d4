#pragma once

// An outbox record in the words a user understands: where the capture stands, what it is, and
// when something will happen to it, with times in the user's local time zone.
//
// Pure functions over values, apart from reading the process's time zone (TZ and the system's
// zone files, through localtime_r); callable from any thread.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/OutboxStore/OutboxStore.h"

namespace kestro {

// Where a capture stands, from the user's side.
enum class RecordStanding {
  onThisDevice,    // queued (or a draft): nothing has left this machine
  uploading,       // its files are being sent
  sending,         // the capture itself is being submitted
  sent,            // the server has it (accepted or complete)
  waitingToRetry,  // the last attempt failed; another comes later
  refused,         // the server refused it for good; it is retried all the same until set aside
  needsAttention,  // set aside until the user acts
  cancelled,
};

struct RecordDescription {
  RecordStanding standing;
  // "on this device (queued)", "uploading (1 of 2 files)", "sending", "sent",
  // "waiting to retry at 14:05:09 after NETWORK_ERROR", "refused by the server: VALIDATION_ERROR
  // (tries again at 14:05:09)", "needs attention (set aside)", "cancelled".
  std::string text;

  bool operator==(const RecordDescription&) const = default;
};

// The record's standing and its words; `now` decides whether a retry time shows its date.
// `lastFailure`, the details the store keeps of the record's last failure (if any), tells a
// refusal from the server from a failure worth waiting out.
RecordDescription describeRecord(const OutboxRecord& record, Date now,
                                 const OutboxLastFailure* lastFailure = nullptr);

// Whether `code` is the server's own, rather than one the client gives failures of its own side
// (NETWORK_ERROR, LOCAL_FILE_ERROR, INVALID_RESPONSE, CLIENT_ERROR).
bool isServerCode(std::string_view code);

// The failure describes a refusal from the server that trying again will not change.
bool isRefusal(const OutboxLastFailure& failure);

// A local time as short as it can be read unambiguously next to `now`: "14:05:09" on the same
// local day, "2025-03-04 14:05" on another.
std::string formatLocalTime(Date time, Date now);

// What the capture is, in at most `maximumCharacters` characters (code points): its address, its
// text in quotes, its files' names, or its note; "(empty capture)" when it holds none of them.
// White space runs become single spaces, and a cut is marked with "…".
std::string captureSummary(const OutboxRecord& record, std::size_t maximumCharacters = 60);

// The first eight hexadecimal digits of a record's id: what `kestro outbox` shows and what the
// commands taking an id accept as a prefix.
std::string shortIdentifier(const UUID& id);

// The position of the id that is `text`, or starts with it (ignoring case; at least four
// characters), among `ids`. Throws ApplicationError: failure when none matches ("no <what> with
// the id ..."), usage when the prefix is too short or matches several.
std::size_t findIdentifier(const std::vector<UUID>& ids, std::string_view text,
                           std::string_view what);

// The record whose id `text` names, as findIdentifier finds it.
const OutboxRecord& findRecord(const std::vector<OutboxRecord>& records, std::string_view text);

}  // namespace kestro
