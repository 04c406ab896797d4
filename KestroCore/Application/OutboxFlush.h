#pragma once

// One flush of the signed-in user's outbox as the application runs it: the processor with the
// application's retry policy, batch after batch until nothing more is ready, one flush of an
// outbox at a time across processes, a stop that takes effect at once, what happened as the
// processor's observer told it, and the records once it ended; and the quick check of whether
// the server answers at all, which `flush --watch` uses to release captures that wait for it.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Application/FlushSchedule.h"
#include "KestroCore/Application/Session.h"
#include "KestroCore/Outbox/RetryPolicy.h"
#include "KestroCore/OutboxProcessor/OutboxProcessor.h"
#include "KestroCore/OutboxStore/OutboxStore.h"
#include "KestroCore/Platform/HTTP/URLSession.h"

namespace kestro {

// The application's backoff: two seconds after the first failure, doubling up to ten minutes
// (each give or take a quarter). `flush --watch` does not wait the backoff out when the server
// was unreachable and answers again.
RetryPolicy applicationRetryPolicy();

// The lock file that makes flushes of the outbox in `storageDirectory` take turns.
std::filesystem::path flushLockFile(const std::filesystem::path& storageDirectory);

// How a flush runs, besides what it sends. Every member may be left empty.
struct FlushControls {
  // Held for the whole flush (flushLockFile), so that two processes never flush one outbox at
  // once: they would upload the same files twice and record failures for each other's steps.
  // Empty: no lock.
  std::filesystem::path lockFile{};
  // Ends the flush at once when requested: the exchange under way is cancelled and no further
  // record is taken. The record it was on stays as its last stored step left it (no failure
  // counted); every step is stored before the next exchange, so nothing is lost.
  std::stop_token stop{};
  // Told once when another process's flush holds the lock, before waiting for it to end.
  std::function<void()> waitingForOtherFlush{};
  // Told once when an exchange has gone `silenceNotice` without the server answering or a byte
  // of an upload moving; the exchange goes on waiting, up to the session's idle limit.
  std::function<void()> serverSilent{};
  std::chrono::milliseconds silenceNotice{5000};
};

struct FlushRun {
  // The records as they stood before the flush, as far as it can tell: each record it took as it
  // took it, any other as it is in `after` (see FlushLog::before).
  std::vector<OutboxRecord> before;
  // The user's records once the flush ended, oldest first.
  std::vector<OutboxRecord> after;
  FlushSummary summary;
  // Every failure of a record in this flush, in the order they happened.
  std::vector<OutboxFailure> failures;
  // A failure that could not be recorded in a record still on its way (not one another process
  // finished meanwhile): the outbox cannot be written, a full disk say. What the store said,
  // with "the disk is full (...)" when it said so.
  std::optional<std::string> storageFailure;
  // Some record failed in this flush because the server refused the sign-in: the user must sign
  // in again before anything is sent.
  bool signInRefused = false;
  // The flush ended because `stop` was requested, perhaps before it took anything.
  bool stopped = false;
  // The processor stored some step of a record: a flush after this one may do more.
  bool changedSomething = false;
};

// Flushes the account's outbox through a processor on `store` (with `observer`) and says what
// it did, from what the processor's observer told, each record's last failure in words
// included; the outbox is read once, at the end. Batch after batch until nothing more
// is ready now, a batch stored no step, or a record failed because the server could not be
// reached (the records behind it stay ready rather than wait out a timeout each). When records
// failed for want of a connection although the server answers (the flush reached it, or a
// quick probe does), the server does not count as unreachable: the connection broke during an
// exchange. The processor itself never throws; reading the records may (OutboxError,
// DecodingError), and so may the lock file (std::filesystem::filesystem_error).
FlushRun flushOutbox(const std::shared_ptr<OutboxStore>& store, const Session& session,
                     const SignedInAccount& account, OutboxProcessorObserver observer = {},
                     const FlushControls& controls = {});

// A failure in the user's words: where it happened and what was said ("the connection to the
// server failed during an upload: Recv failure: Connection reset by peer", "the server said:
// ...", "could not be written to the outbox: the disk is full (...)").
std::string explainFailure(const OutboxFailure& failure);

// What the store said when it could not write, with "the disk is full" first when that is why.
std::string describeStorageFailure(const std::string& reason);

// Whether anything answers HTTP at the server's address within about two seconds (any status
// counts: a 404 or a 401 is the server speaking). Never throws.
bool serverAnswers(URLSession& session, const URL& server) noexcept;

// A session for serverAnswers: short connection and idle limits.
std::shared_ptr<URLSession> makeProbeSession();

}  // namespace kestro
