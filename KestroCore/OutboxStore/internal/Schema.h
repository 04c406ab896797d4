#pragma once

// The outbox database's schema, for every connection that opens the file: the outbox store and
// the application's sync cache. Both run it on open, so either may be the first to create the
// database. Not part of the installed interface.

namespace kestro::sqlite {

// The tables the share target and the application share, exactly as both expect them.
inline constexpr const char* kOutboxSchema =
    "PRAGMA journal_mode=WAL;\n"
    "PRAGMA foreign_keys=ON;\n"
    "CREATE TABLE IF NOT EXISTS outbox (\n"
    "  id TEXT PRIMARY KEY,\n"
    "  user_id TEXT NOT NULL,\n"
    "  state TEXT NOT NULL,\n"
    "  next_retry_at REAL,\n"
    "  record_json BLOB NOT NULL,\n"
    "  created_at REAL NOT NULL,\n"
    "  updated_at REAL NOT NULL\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS outbox_ready_idx ON outbox(state, next_retry_at, created_at);\n"
    "CREATE TABLE IF NOT EXISTS cache_entities (\n"
    "  user_id TEXT NOT NULL,\n"
    "  entity_type TEXT NOT NULL,\n"
    "  entity_id TEXT NOT NULL,\n"
    "  entity_json BLOB,\n"
    "  deleted INTEGER NOT NULL DEFAULT 0,\n"
    "  PRIMARY KEY(user_id, entity_type, entity_id)\n"
    ");\n"
    "CREATE TABLE IF NOT EXISTS sync_state (\n"
    "  user_id TEXT PRIMARY KEY,\n"
    "  cursor INTEGER NOT NULL DEFAULT 0\n"
    ");";

// Our own addition, kept apart from the schema above so that the tables and index the
// application shares stay exactly as they are. `ready` would otherwise scan every row of the
// outbox and sort: with 100,000 finished records it took about 250 ms, with this about 0.3 ms.
// SQLite uses a partial index only when the query repeats its condition word for word, so this
// WHERE clause and the store's ready query must change together.
inline constexpr const char* kOutboxReadyIndex =
    "CREATE INDEX IF NOT EXISTS outbox_user_ready_idx ON outbox(user_id, created_at)\n"
    "WHERE state NOT IN ('complete', 'cancelled', 'blocked_user_action');";

// Our own additions too: a capture's address and a cached item's address, so that asking
// whether an address is already on this device or in the library reads one index entry instead
// of decoding every record (with a few hundred long pages, that took a second). The JSON columns
// are BLOBs, which SQLite's JSON functions read only as text; `json_valid` keeps one damaged row
// from failing every write, or the index's creation and with it every open. The stores' queries
// repeat these expressions word for word, or SQLite would not use the indexes.
#define KESTRO_JSON_FIELD(column, path)                                           \
  "CASE WHEN json_valid(CAST(" column " AS TEXT)) THEN json_extract(CAST(" column \
  " AS TEXT), '" path "') END"
inline constexpr const char* kCaptureAddressExpression =
    KESTRO_JSON_FIELD("record_json", "$.capture.url");
inline constexpr const char* kCapturedAtExpression =
    KESTRO_JSON_FIELD("record_json", "$.capture.capturedAt");
inline constexpr const char* kItemAddressExpression =
    KESTRO_JSON_FIELD("entity_json", "$.canonicalUrl");
inline constexpr const char* kAddressIndexes =
    "CREATE INDEX IF NOT EXISTS outbox_user_address_idx ON outbox(user_id, "
    KESTRO_JSON_FIELD("record_json", "$.capture.url") ");\n"
    "CREATE INDEX IF NOT EXISTS cache_entities_item_address_idx ON cache_entities(user_id, "
    "entity_type, " KESTRO_JSON_FIELD("entity_json", "$.canonicalUrl") ");";
#undef KESTRO_JSON_FIELD

// Our own addition too: what the record JSON has no place for about a record's last failure (its
// message, whether the server called it retryable). One row per record, written with the failure
// and deleted with the record; `attempt_count` ties it to the failure it describes.
inline constexpr const char* kOutboxFailuresTable =
    "CREATE TABLE IF NOT EXISTS outbox_failures (\n"
    "  id TEXT PRIMARY KEY,\n"
    "  code TEXT NOT NULL,\n"
    "  message TEXT NOT NULL,\n"
    "  retryable INTEGER NOT NULL,\n"
    "  attempt_count INTEGER NOT NULL,\n"
    "  failed_at REAL NOT NULL\n"
    ");";

inline constexpr const char* kSchemaErrorMessage = "SQLite schema error";

}  // namespace kestro::sqlite
