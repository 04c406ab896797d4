#include "KestroCore/OutboxStore/OutboxStore.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "KestroCore/OutboxStore/internal/SQLite.h"
#include "KestroCore/OutboxStore/internal/Schema.h"

namespace kestro {
namespace {

using sqlite::Blob;
using sqlite::Null;
using sqlite::Text;
using sqlite::Value;

constexpr const char* kSave =
    "INSERT INTO outbox(id, user_id, state, next_retry_at, record_json, created_at, updated_at)\n"
    "VALUES(?, ?, ?, ?, ?, ?, ?)\n"
    "ON CONFLICT(id) DO UPDATE SET\n"
    "  user_id=excluded.user_id,\n"
    "  state=excluded.state,\n"
    "  next_retry_at=excluded.next_retry_at,\n"
    "  record_json=excluded.record_json,\n"
    "  updated_at=excluded.updated_at";

constexpr const char* kRecord = "SELECT record_json FROM outbox WHERE id = ?";
constexpr const char* kAll = "SELECT record_json FROM outbox WHERE user_id = ? ORDER BY created_at";
// Its WHERE clause repeats the partial index's word for word (internal/Schema.h), or SQLite
// would not use the index.
constexpr const char* kReady =
    "SELECT record_json FROM outbox\n"
    "WHERE user_id = ? AND state NOT IN ('complete', 'cancelled', 'blocked_user_action')\n"
    "  AND (next_retry_at IS NULL OR next_retry_at <= ?)\n"
    "ORDER BY created_at LIMIT ?";
// The same condition as kReady, for the same index. Whole microseconds, rounded up, since a REAL
// read back as text keeps only fifteen digits.
constexpr const char* kNextRetryAt =
    "SELECT CAST(m AS INTEGER) + (m > CAST(m AS INTEGER)) FROM (\n"
    "  SELECT MIN(next_retry_at) * 1000000 AS m FROM outbox\n"
    "  WHERE user_id = ? AND state NOT IN ('complete', 'cancelled', 'blocked_user_action')\n"
    "    AND next_retry_at > ?)";
constexpr const char* kCompletedBefore =
    "SELECT record_json FROM outbox WHERE state IN ('complete', 'cancelled') AND updated_at < ?";
constexpr const char* kRemoveCompleted =
    "DELETE FROM outbox WHERE state IN ('complete', 'cancelled') AND updated_at < ?";
constexpr const char* kSaveFailure =
    "INSERT OR REPLACE INTO outbox_failures(id, code, message, retryable, attempt_count, "
    "failed_at)\nVALUES(?, ?, ?, ?, ?, ?)";
constexpr const char* kLastFailures =
    "SELECT f.id, f.code, f.message, f.retryable, f.attempt_count, f.failed_at\n"
    "FROM outbox_failures f JOIN outbox o ON o.id = f.id WHERE o.user_id = ?";
constexpr const char* kRemoveCompletedFailures =
    "DELETE FROM outbox_failures WHERE id IN (SELECT id FROM outbox\n"
    "  WHERE state IN ('complete', 'cancelled') AND updated_at < ?)";
constexpr const char* kDeleteFailures =
    "DELETE FROM outbox_failures WHERE id IN (SELECT id FROM outbox WHERE user_id = ?)";
constexpr const char* kDeleteOutbox = "DELETE FROM outbox WHERE user_id = ?";
constexpr const char* kDeleteCacheEntities = "DELETE FROM cache_entities WHERE user_id = ?";
constexpr const char* kDeleteSyncState = "DELETE FROM sync_state WHERE user_id = ?";

Date currentTime() { return std::chrono::system_clock::now(); }

OutboxRecord decodeRecord(const std::string& json) { return decodeJSONString<OutboxRecord>(json); }

// Rows without record JSON are skipped; the first row that does not decode fails the whole read,
// so a damaged record is never silently left out of a list.
std::vector<OutboxRecord> readRecords(sqlite::Connection& connection, const char* sql,
                                      const std::vector<Value>& values) {
  std::vector<OutboxRecord> records;
  for (const auto& row : connection.query(sql, values)) {
    if (row.empty() || !row.front()) continue;
    records.push_back(decodeRecord(*row.front()));
  }
  return records;
}

}  // namespace

OutboxStore::OutboxStore(const URL& databaseURL)
    : connection_(sqlite::openOutboxDatabase(databaseURL, "OutboxStore")) {}

OutboxStore::~OutboxStore() = default;

void OutboxStore::save(const OutboxRecord& record) {
  const std::string json = encodeJSONString(record);
  const std::string id = record.id().uuidString();
  const std::string userId = record.userId.uuidString();
  const Value nextRetryAt =
      record.nextRetryAt ? Value(secondsSince1970(*record.nextRetryAt)) : Value(Null{});
  connection_->execute(
      kSave, {Text{id}, Text{userId}, Text{rawValue(record.state)}, nextRetryAt, Blob{json},
              secondsSince1970(record.createdAt), secondsSince1970(record.updatedAt)});
}

std::optional<OutboxRecord> OutboxStore::read(const UUID& id) {
  const std::string text = id.uuidString();
  const auto rows = connection_->query(kRecord, {Text{text}});
  if (rows.empty() || rows.front().empty() || !rows.front().front()) return std::nullopt;
  return decodeRecord(*rows.front().front());
}

template <class Change, class Then>
OutboxRecord OutboxStore::mutate(const UUID& id, Change&& change, Then&& then) {
  // One immediate transaction around the read and the write: the other process cannot slip an
  // update in between and have it overwritten with our stale copy.
  sqlite::Transaction transaction(*connection_);
  auto record = read(id);
  if (!record) throw OutboxError::recordMissing();
  change(*record);
  record->updatedAt = currentTime();
  save(*record);
  then(*record);
  transaction.commit();
  return std::move(*record);
}

OutboxRecord OutboxStore::enqueue(const UUID& userId, const CaptureEnvelope& capture,
                                  const std::vector<StagedAsset>& stagedAssets) {
  std::lock_guard lock(mutex_);
  const Date time = currentTime();
  OutboxRecord record{.userId = userId,
                      .state = CaptureOutboxState::queued,
                      .resumeState = std::nullopt,
                      .capture = capture,
                      .stagedAssets = stagedAssets,
                      .attemptCount = 0,
                      .nextRetryAt = std::nullopt,
                      .lastErrorCode = std::nullopt,
                      .serverCaptureId = std::nullopt,
                      .serverItemId = std::nullopt,
                      .createdAt = time,
                      .updatedAt = time};
  save(record);
  return record;
}

std::optional<OutboxRecord> OutboxStore::record(const UUID& id) {
  std::lock_guard lock(mutex_);
  return read(id);
}

std::vector<OutboxRecord> OutboxStore::all(const UUID& userId) {
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  return readRecords(*connection_, kAll, {Text{user}});
}

std::optional<OutboxRecord> OutboxStore::newestWithAddress(const UUID& userId, const URL& address) {
  // The address's expression repeats the index's (internal/Schema.h).
  static const std::string query = std::string("SELECT record_json FROM outbox\n") +
                                   "WHERE user_id = ? AND " + sqlite::kCaptureAddressExpression +
                                   " = ?\nORDER BY " + sqlite::kCapturedAtExpression +
                                   " DESC, created_at DESC LIMIT 1";
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  const std::string text = address.absoluteString();
  auto records = readRecords(*connection_, query.c_str(), {Text{user}, Text{text}});
  if (records.empty()) return std::nullopt;
  return std::move(records.front());
}

std::vector<OutboxRecord> OutboxStore::ready(const UUID& userId, Date now, std::int64_t limit) {
  // SQLite reads a negative LIMIT as "no limit", which is never what a caller that computed a
  // batch size meant.
  if (limit < 0) throw std::invalid_argument("OutboxStore::ready: negative limit");
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  return readRecords(*connection_, kReady, {Text{user}, secondsSince1970(now), limit});
}

std::optional<Date> OutboxStore::nextRetryAt(const UUID& userId, Date after) {
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  const auto rows = connection_->query(kNextRetryAt, {Text{user}, secondsSince1970(after)});
  if (rows.empty() || rows.front().empty() || !rows.front().front()) return std::nullopt;
  return Date{} + std::chrono::microseconds(std::stoll(*rows.front().front()));
}

OutboxRecord OutboxStore::transition(const UUID& id, CaptureOutboxState to) {
  std::lock_guard lock(mutex_);
  return mutate(id, [to](OutboxRecord& record) {
    if (!canTransition(record.state, to)) throw OutboxError::invalidTransition(record.state, to);
    record.state = to;
    if (to != CaptureOutboxState::retryWait) record.nextRetryAt = std::nullopt;
  });
}

void OutboxStore::replaceCapture(const UUID& id, const CaptureEnvelope& capture) {
  std::lock_guard lock(mutex_);
  mutate(id, [&capture](OutboxRecord& record) {
    using enum CaptureOutboxState;
    switch (record.state) {
      case draft:
      case queued:
      case retryWait:
      case preparingAssets:
      case uploadingAssets:
        record.capture = capture;
        return;
      default:
        throw OutboxError::invalidTransition(record.state, record.state);
    }
  });
}

void OutboxStore::updateAssets(const UUID& id, const std::vector<StagedAsset>& assets) {
  std::lock_guard lock(mutex_);
  mutate(id, [&assets](OutboxRecord& record) { record.stagedAssets = assets; });
}

void OutboxStore::markAccepted(const UUID& id, const UUID& captureId, const UUID& itemId) {
  std::lock_guard lock(mutex_);
  mutate(id, [&](OutboxRecord& record) {
    record.state = CaptureOutboxState::accepted;
    record.serverCaptureId = captureId;
    record.serverItemId = itemId;
  });
}

void OutboxStore::markComplete(const UUID& id) {
  std::lock_guard lock(mutex_);
  mutate(id, [](OutboxRecord& record) { record.state = CaptureOutboxState::complete; });
}

void OutboxStore::markRetry(const UUID& id, const std::string& code, CaptureOutboxState resumeAt,
                            Date nextRetryAt) {
  std::lock_guard lock(mutex_);
  retry(id, code, resumeAt, nextRetryAt, nullptr);
}

void OutboxStore::markRetry(const UUID& id, const std::string& code, CaptureOutboxState resumeAt,
                            Date nextRetryAt, const OutboxFailureDetails& details) {
  std::lock_guard lock(mutex_);
  retry(id, code, resumeAt, nextRetryAt, &details);
}

void OutboxStore::retry(const UUID& id, const std::string& code, CaptureOutboxState resumeAt,
                        Date nextRetryAt, const OutboxFailureDetails* details) {
  // The details go in the record's own transaction: they never describe a failure that was not
  // recorded.
  const auto keepDetails = [&](const OutboxRecord& record) {
    if (!details) return;
    const std::string text = id.uuidString();
    connection_->execute(kSaveFailure, {Text{text}, Text{code}, Text{details->message},
                                        std::int64_t{details->retryable ? 1 : 0},
                                        record.attemptCount, secondsSince1970(record.updatedAt)});
  };
  mutate(
      id,
      [&](OutboxRecord& record) {
        if (!canTransition(record.state, CaptureOutboxState::retryWait)) {
          throw OutboxError::invalidTransition(record.state, CaptureOutboxState::retryWait);
        }
        record.state = CaptureOutboxState::retryWait;
        record.resumeState = resumeAt;
        record.attemptCount += 1;
        record.lastErrorCode = code;
        record.nextRetryAt = nextRetryAt;
      },
      keepDetails);
}

std::map<UUID, OutboxLastFailure> OutboxStore::lastFailures(const UUID& userId) {
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  std::map<UUID, OutboxLastFailure> failures;
  for (const auto& row : connection_->query(kLastFailures, {Text{user}})) {
    const auto id = row.size() == 6 && row[0] ? UUID::fromString(*row[0]) : std::nullopt;
    if (!id) continue;
    OutboxLastFailure failure;
    failure.code = row[1].value_or("");
    failure.details.message = row[2].value_or("");
    failure.details.retryable = row[3].value_or("1") != "0";
    failure.attemptCount = row[4] ? std::stoll(*row[4]) : 0;
    failure.failedAt = dateFromSecondsSince1970(row[5] ? std::stod(*row[5]) : 0).value_or(Date{});
    failures.emplace(*id, std::move(failure));
  }
  return failures;
}

OutboxRecord OutboxStore::makeDue(const UUID& id, Date now) {
  std::lock_guard lock(mutex_);
  return mutate(id, [now](OutboxRecord& record) {
    if (record.state != CaptureOutboxState::retryWait) {
      throw OutboxError::invalidTransition(record.state, record.state);
    }
    record.nextRetryAt = now;
  });
}

std::vector<OutboxRecord> OutboxStore::removeCompleted(Date olderThan) {
  std::lock_guard lock(mutex_);
  const double cutoff = secondsSince1970(olderThan);
  // The records returned are exactly the rows deleted: nobody can finish another record between
  // the read and the delete.
  sqlite::Transaction transaction(*connection_);
  std::vector<OutboxRecord> removed = readRecords(*connection_, kCompletedBefore, {cutoff});
  connection_->execute(kRemoveCompletedFailures, {cutoff});
  connection_->execute(kRemoveCompleted, {cutoff});
  transaction.commit();
  return removed;
}

void OutboxStore::deleteAll(const UUID& userId) {
  std::lock_guard lock(mutex_);
  const std::string user = userId.uuidString();
  std::vector<OutboxRecord> records;
  {
    // The records whose files we remove are exactly the rows we delete, and the three tables
    // go together or not at all.
    sqlite::Transaction transaction(*connection_);
    records = readRecords(*connection_, kAll, {Text{user}});
    connection_->execute(kDeleteFailures, {Text{user}});
    connection_->execute(kDeleteOutbox, {Text{user}});
    connection_->execute(kDeleteCacheEntities, {Text{user}});
    connection_->execute(kDeleteSyncState, {Text{user}});
    transaction.commit();
  }
  // Only once the rows are gone: a failure before this point leaves every record with its files.
  for (const auto& record : records) {
    for (const auto& asset : record.stagedAssets) {
      if (const auto path = asset.localURL.filePath()) {
        std::error_code ignored;
        std::filesystem::remove(*path, ignored);
      }
    }
  }
}

}  // namespace kestro
