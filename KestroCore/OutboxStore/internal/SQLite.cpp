#include "KestroCore/OutboxStore/internal/SQLite.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <thread>
#include <utility>

#include "KestroCore/Outbox/OutboxError.h"
#include "KestroCore/OutboxStore/internal/Schema.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"

namespace kestro::sqlite {

void fail(std::string message) { throw OutboxError::sqlite(std::move(message)); }

void ConnectionCloser::operator()(sqlite3* connection) const noexcept {
  // v2 defers the close until stray statements are finalized instead of failing with BUSY.
  sqlite3_close_v2(connection);
}

void StatementFinalizer::operator()(sqlite3_stmt* statement) const noexcept {
  sqlite3_finalize(statement);
}

Connection::Connection(const std::string& path) {
  sqlite3* raw = nullptr;
  const int result =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  connection_.reset(raw);
  if (result != SQLITE_OK) {
    if (connection_) fail(sqlite3_errmsg(connection_.get()));
    fail("Unable to open SQLite");
  }
  if (!connection_) fail("Unable to open SQLite");
}

void Connection::setBusyTimeout(std::chrono::milliseconds timeout) {
  busyTimeout_ = timeout;
  if (sqlite3_busy_handler(connection_.get(), &Connection::retryWhileBusy, this) != SQLITE_OK) {
    fail(errorMessage());
  }
}

int Connection::retryWhileBusy(void* context, int attempts) noexcept {
  auto& connection = *static_cast<Connection*>(context);
  const auto now = std::chrono::steady_clock::now();
  // The library counts the tries of one wait from zero.
  if (attempts == 0) connection.busySince_ = now;
  if (now - connection.busySince_ >= connection.busyTimeout_) return 0;
  // A few quick tries first, then about a millisecond apart.
  std::this_thread::sleep_for(attempts < 10 ? std::chrono::microseconds(100)
                                            : std::chrono::microseconds(1000));
  return 1;
}

void Connection::executeSetupScript(const std::string& script, const std::string& fallbackMessage) {
  const auto deadline = std::chrono::steady_clock::now() + busyTimeout_;
  for (;;) {
    char* error = nullptr;
    const int result = sqlite3_exec(connection_.get(), script.c_str(), nullptr, nullptr, &error);
    if (result == SQLITE_OK) return;
    const int primary = result & 0xFF;
    const bool busy = primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
    if (busy && std::chrono::steady_clock::now() < deadline) {
      // The other process holds the lock for the few milliseconds its own setup takes.
      sqlite3_free(error);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    std::string message = error != nullptr ? std::string(error) : fallbackMessage;
    sqlite3_free(error);
    fail(std::move(message));
  }
}

std::string Connection::errorMessage() const { return sqlite3_errmsg(connection_.get()); }

Connection::Lease::~Lease() {
  if (statement_ == nullptr) return;
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

Connection::Lease Connection::prepare(std::string_view sql, const std::vector<Value>& values) {
  if (sql.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    fail("statement too long");
  }
  auto cached = statements_.find(std::string(sql));
  if (cached == statements_.end()) {
    sqlite3_stmt* raw = nullptr;
    const int prepared =
        sqlite3_prepare_v3(connection_.get(), sql.data(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, StatementFinalizer> statement(raw);
    if (prepared != SQLITE_OK) fail(errorMessage());
    if (!statement) fail("empty statement");
    cached = statements_.emplace(std::string(sql), std::move(statement)).first;
  }
  Lease statement(cached->second.get());

  int index = 1;
  for (const Value& value : values) {
    int bound = SQLITE_OK;
    if (const auto* text = std::get_if<Text>(&value)) {
      bound = sqlite3_bind_text64(statement.get(), index, text->value.data(), text->value.size(),
                                  SQLITE_TRANSIENT, SQLITE_UTF8);
    } else if (const auto* number = std::get_if<double>(&value)) {
      bound = sqlite3_bind_double(statement.get(), index, *number);
    } else if (const auto* integer = std::get_if<std::int64_t>(&value)) {
      bound = sqlite3_bind_int64(statement.get(), index, *integer);
    } else if (const auto* blob = std::get_if<Blob>(&value)) {
      // A blob past the library's limit fails here with SQLITE_TOOBIG and its message.
      bound = sqlite3_bind_blob64(statement.get(), index, blob->bytes.data(), blob->bytes.size(),
                                  SQLITE_TRANSIENT);
    } else {
      bound = sqlite3_bind_null(statement.get(), index);
    }
    if (bound != SQLITE_OK) fail(errorMessage());
    ++index;
  }
  return Lease(statement.release());
}

void Connection::execute(std::string_view sql, const std::vector<Value>& values) {
  auto statement = prepare(sql, values);
  if (sqlite3_step(statement.get()) != SQLITE_DONE) fail(errorMessage());
}

std::vector<Row> Connection::query(std::string_view sql, const std::vector<Value>& values) {
  auto statement = prepare(sql, values);
  std::vector<Row> rows;
  const int columns = sqlite3_column_count(statement.get());
  for (;;) {
    const int stepped = sqlite3_step(statement.get());
    if (stepped == SQLITE_DONE) break;
    // A failed step must not pass for the end of the rows: the caller would take a damaged or
    // locked database for an empty outbox.
    if (stepped != SQLITE_ROW) fail(errorMessage());
    Row row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int column = 0; column < columns; ++column) {
      const void* data = sqlite3_column_blob(statement.get(), column);
      if (data == nullptr) {
        row.emplace_back(std::nullopt);
      } else {
        const int size = sqlite3_column_bytes(statement.get(), column);
        row.emplace_back(
            std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)));
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

Transaction::Transaction(Connection& connection, Kind kind) : connection_(connection) {
  connection_.execute(kind == Kind::write ? "BEGIN IMMEDIATE" : "BEGIN", {});
}

Transaction::~Transaction() {
  if (open_) sqlite3_exec(connection_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  connection_.execute("COMMIT", {});
  open_ = false;
}

namespace {

constexpr mode_t kPrivateFileMode = S_IRUSR | S_IWUSR;

// Narrows an open file to its owner; a file that cannot be narrowed is an error, since the
// captured text in it would stay readable to others.
void narrowToOwner(int fd, const std::filesystem::path& path) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    fail("cannot read the mode of " + path.string() + ": " + std::strerror(errno));
  }
  if ((status.st_mode & 07777) == kPrivateFileMode) return;
  if (::fchmod(fd, kPrivateFileMode) != 0) {
    fail("cannot make " + path.string() + " private to its owner: " + std::strerror(errno));
  }
}

// SQLite creates a new database file with mode 0644 (less the umask) and gives its "-wal" and
// "-shm" files the database file's own mode. Creating the database file ourselves, private,
// keeps all three from other users whatever the folder's mode; logs that an earlier version left
// readable are narrowed too. A database file that cannot be opened here is left to SQLite, whose
// own error then says why.
void makeDatabasePrivate(const std::filesystem::path& path) {
  const FileDescriptor database(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, kPrivateFileMode));
  if (!database.valid()) return;
  narrowToOwner(database.get(), path);
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::filesystem::path log = path.string() + suffix;
    const FileDescriptor fd(::open(log.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.valid()) narrowToOwner(fd.get(), log);
  }
}

}  // namespace

std::unique_ptr<Connection> openOutboxDatabase(const URL& databaseURL, std::string_view owner) {
  // Another process (the share target or the application) may hold the write lock for the length
  // of one short transaction; five seconds covers that with a wide margin.
  constexpr std::chrono::milliseconds kBusyTimeout{5000};
  const auto path = databaseURL.filePath();
  if (!path) {
    throw std::invalid_argument(std::string(owner) +
                                ": not a local file URL: " + databaseURL.absoluteString());
  }
  // Private to the user, like the staged files beside it: the captures are theirs alone.
  files::createDirectories(path->parent_path(), 0700);
  makeDatabasePrivate(*path);
  auto connection = std::make_unique<Connection>(path->string());
  // Before the schema: two processes opening a new database at once race for the lock that
  // switching to write-ahead logging and creating the tables take, and the setup waits for it
  // as long as any other operation would.
  connection->setBusyTimeout(kBusyTimeout);
  connection->executeSetupScript(kOutboxSchema, kSchemaErrorMessage);
  connection->executeSetupScript(kOutboxReadyIndex, kSchemaErrorMessage);
  connection->executeSetupScript(kOutboxFailuresTable, kSchemaErrorMessage);
  connection->executeSetupScript(kAddressIndexes, kSchemaErrorMessage);
  return connection;
}

}  // namespace kestro::sqlite
