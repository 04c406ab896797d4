#pragma once

// A thin owner of an SQLite connection and its statements for the outbox store. Not part of the
// installed interface: only the store talks to SQLite.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "KestroCore/Foundation/URL.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kestro::sqlite {

// One statement parameter. Text and blobs are copied by the library while binding, so the
// caller's buffers only need to live through the call.
struct Text {
  std::string_view value;
};
struct Blob {
  std::string_view bytes;
};
struct Null {};
using Value = std::variant<Text, double, std::int64_t, Blob, Null>;

// One column of a result row: its bytes, or nothing for SQL NULL (and for an empty blob, which
// the library cannot tell apart from NULL through its blob accessor).
using Column = std::optional<std::string>;
using Row = std::vector<Column>;

// Raises the store's error type with `message`. The single place where a failure of the
// library becomes our error.
[[noreturn]] void fail(std::string message);

struct ConnectionCloser {
  void operator()(sqlite3* connection) const noexcept;
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const noexcept;
};

// The open connection. Closed when the object goes. Not copyable; one thread at a time (the
// store serialises its operations).
class Connection {
 public:
  // Opens (creating if needed) the database file read-write in full-mutex mode. Throws the
  // store's error with the library's message, or "Unable to open SQLite" when the library gives
  // no connection to ask.
  explicit Connection(const std::string& path);

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // How long a statement waits for another process's lock before it fails with SQLITE_BUSY.
  // Unlike the library's own timeout, which sleeps up to 100 ms between tries, this one tries
  // again every millisecond or so: a writer that commits in a tight loop leaves the lock free
  // only for moments, and a waiter that looks rarely would starve until its time ran out.
  void setBusyTimeout(std::chrono::milliseconds timeout);
  // Runs a script of several statements that may all run again (CREATE ... IF NOT EXISTS,
  // PRAGMA), as setting up the database does. While the database reports busy or locked, the
  // script starts again from its first statement, until the busy timeout has passed since the
  // first try: the busy handler alone does not cover setup, because the library gives up at once,
  // without consulting it, when a statement holding a read lock needs the write lock, as
  // switching a new database to write-ahead logging does while another process does the same.
  // Throws with the library's error text, or with `fallbackMessage` when it gives none.
  void executeSetupScript(const std::string& script, const std::string& fallbackMessage);
  // Runs one statement that returns no rows; it must finish with SQLITE_DONE.
  void execute(std::string_view sql, const std::vector<Value>& values);
  // Runs one statement and returns all its rows. A failure while stepping is an error, never a
  // short result.
  std::vector<Row> query(std::string_view sql, const std::vector<Value>& values);

  std::string errorMessage() const;
  sqlite3* get() const noexcept { return connection_.get(); }

 private:
  // A prepared statement lent from the cache for one use: reset, its bindings cleared, when the
  // use ends, so that a read never keeps its snapshot (and a WAL checkpoint waiting) past the
  // operation that ran it.
  class Lease {
   public:
    explicit Lease(sqlite3_stmt* statement) noexcept : statement_(statement) {}
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    sqlite3_stmt* get() const noexcept { return statement_; }
    sqlite3_stmt* release() noexcept { return std::exchange(statement_, nullptr); }

   private:
    sqlite3_stmt* statement_;
  };

  Lease prepare(std::string_view sql, const std::vector<Value>& values);

  static int retryWhileBusy(void* connection, int attempts) noexcept;

  std::unique_ptr<sqlite3, ConnectionCloser> connection_;
  std::chrono::milliseconds busyTimeout_{0};
  std::chrono::steady_clock::time_point busySince_;
  // Statements by their text, prepared once per connection: preparing the few statements of an
  // operation again every time cost as much as the operation's own work. Declared after the
  // connection, so they are finalized before it closes.
  std::unordered_map<std::string, std::unique_ptr<sqlite3_stmt, StatementFinalizer>> statements_;
};

// A write transaction taken at once (BEGIN IMMEDIATE), so that a read-modify-write never meets
// another writer between its read and its write; or, with Kind::read, a read transaction
// (BEGIN): one consistent snapshot that never holds the write lock, so other processes' writes
// go on meanwhile. Rolls back when destroyed without `commit`; the destructor never throws.
class Transaction {
 public:
  enum class Kind { write, read };
  explicit Transaction(Connection& connection, Kind kind = Kind::write);
  ~Transaction();

  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void commit();

 private:
  Connection& connection_;
  bool open_ = true;
};

// Opens the outbox database at a file URL for `owner` (the type named in errors): creates its
// directory (only the user may enter the ones it creates) and the file, waits up to five
// seconds for another process's lock in every operation, setup included, and runs the schema.
// Throws std::invalid_argument, naming `owner`, when the URL is not a local file URL (nothing is
// touched then); the file system's own errors pass through.
std::unique_ptr<Connection> openOutboxDatabase(const URL& databaseURL, std::string_view owner);

}  // namespace kestro::sqlite
