#pragma once

// One flush of the signed-in user's outbox as the application runs it: the processor with the
// application's retry policy, the records before and after, and what happened in between; and
// the quick check of whether the server answers at all, which `flush --watch` uses to release
// captures that wait for it.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Application/FlushSchedule.h"
#include "KestroCore/Application/Session.h"
#include "KestroCore/Outbox/Processor/OutboxProcessor.h"
#include "KestroCore/Outbox/RetryPolicy.h"
#include "KestroCore/Outbox/Store/OutboxStore.h"
#include "Platform/HTTP/URLSession.h"

namespace kestro {

// The code a record carries when the server refused the sign-in.
inline constexpr std::string_view kUnauthorizedCode = "UNAUTHORIZED";

// The application's backoff: two seconds after the first failure, doubling up to ten minutes
// (each give or take a quarter). `flush --watch` does not wait the backoff out when the server
// was unreachable and answers again.
RetryPolicy applicationRetryPolicy();

struct FlushRun {
  std::vector<OutboxRecord> before;
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
};

// Flushes the account's outbox once through a processor on `store` (with `observer`) and says
// what it did, each record's last failure in words included. When records failed for want of a
// connection although the server answers (the flush reached it, or a quick probe does), the
// server does not count as unreachable: the connection broke during an exchange. The processor
// itself never throws; reading the records may (OutboxError, DecodingError).
FlushRun flushOutbox(const std::shared_ptr<OutboxStore>& store, const Session& session,
                     const SignedInAccount& account, OutboxProcessorObserver observer = {});

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
