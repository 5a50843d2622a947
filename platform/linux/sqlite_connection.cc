// The keychain's SQLite connection: open, schema check, statement cache, busy handling.
#include "platform/linux/sqlite_connection.h"

#include <algorithm>
#include <thread>

namespace quenlarch {
namespace {

using Clock = std::chrono::steady_clock;

// The one table of the keychain. sqlite_schema keeps the statement as "CREATE TABLE <definition>"
// whatever clause created it, which is how the schema check recognises its own table.
constexpr const char* kTableDefinition =
    "genp("
    "svce TEXT NOT NULL, acct TEXT NOT NULL, agrp TEXT NOT NULL, sync INTEGER NOT NULL,"
    "gena BLOB, data BLOB NOT NULL,"
    "PRIMARY KEY(svce, acct, agrp, sync)) WITHOUT ROWID";

// Run on every connection once the schema is known to be ours. WAL mode is stored in the file: on
// a database already in WAL the first pragma only reads the header. synchronous is per connection
// and FULL makes every commit reach the disk before it returns.
constexpr const char* kSetupScript =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    // Extension processes end without closing the database, so nothing checkpoints on close and
    // every new process first reads the whole write-ahead log. Checkpointing every 64 pages keeps
    // that log, and so the start of every process, short.
    "PRAGMA wal_autocheckpoint=64;";

// Pause between attempts when SQLite reports busy without having waited itself.
constexpr std::chrono::microseconds kBusyRetryPause{500};

int busyTimeoutMilliseconds(std::chrono::milliseconds timeout) {
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, 1 << 30));
}

// The arguments outlive the statement's run (run() clears the bindings), so SQLite need not copy.
int bind(sqlite3_stmt* statement, const std::vector<SqlArgument>& arguments) {
  int code = SQLITE_OK;
  for (std::size_t i = 0; i < arguments.size() && code == SQLITE_OK; ++i) {
    const int index = static_cast<int>(i + 1);
    const SqlArgument& argument = arguments[i];
    if (const auto* number = std::get_if<std::int64_t>(&argument)) {
      code = sqlite3_bind_int64(statement, index, *number);
    } else if (const auto* text = std::get_if<std::string>(&argument)) {
      code = sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_STATIC,
                                 SQLITE_UTF8);
    } else if (const auto* bytes = std::get_if<ByteString>(&argument)) {
      // A null pointer would bind NULL, which is not the same as empty bytes.
      code = bytes->empty() ? sqlite3_bind_zeroblob(statement, index, 0)
                            : sqlite3_bind_blob64(statement, index, bytes->data(), bytes->size(),
                                                  SQLITE_STATIC);
    } else {
      code = sqlite3_bind_null(statement, index);
    }
  }
  return code;
}

}  // namespace

bool isSqliteBusy(int code) {
  return (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED;
}
bool isSqliteConstraint(int code) { return (code & 0xff) == SQLITE_CONSTRAINT; }

KeychainStoreProblem storeProblemFromSqlite(int code) {
  switch (code & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return KeychainStoreProblem::kNone;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return KeychainStoreProblem::kBusy;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return KeychainStoreProblem::kNoPermission;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return KeychainStoreProblem::kDamaged;
    case SQLITE_FULL:
      return KeychainStoreProblem::kFull;
    default:
      return KeychainStoreProblem::kUnusable;
  }
}

std::string sqliteTextColumn(sqlite3_stmt* row, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, column));
  if (text == nullptr) return {};
  return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
}

std::optional<ByteString> sqliteBlobColumn(sqlite3_stmt* row, int column) {
  if (sqlite3_column_type(row, column) == SQLITE_NULL) return std::nullopt;
  // An empty blob comes back as a null pointer; it is still present, just empty.
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(row, column));
  if (bytes == nullptr) return ByteString{};
  return ByteString(bytes, bytes + sqlite3_column_bytes(row, column));
}

SqliteConnection::~SqliteConnection() {
  for (auto& [text, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close_v2(db_);  // null-safe
}

int SqliteConnection::open(const std::string& path, KeychainSchema& schema) {
  // NOMUTEX: the owning object's mutex already serialises every use of this connection. No
  // CREATE: the path policy has created the file when that was wanted.
  int code = sqlite3_open_v2(
      path.c_str(), &db_,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOFOLLOW,
      nullptr);
  if (code != SQLITE_OK) return code;
  // Set before the first statement: a fresh connection can find the database busy while another
  // process closes the last handle on it, and must wait then rather than fail.
  sqlite3_busy_timeout(db_, busyTimeoutMilliseconds(busyTimeout_));
  int tables = 0;
  bool ours = false;
  code = run({"SELECT type, name, sql FROM sqlite_schema", {}}, [&](sqlite3_stmt* row) {
    ++tables;
    ours = sqliteTextColumn(row, 0) == "table" && sqliteTextColumn(row, 1) == "genp" &&
           sqliteTextColumn(row, 2) == std::string("CREATE TABLE ") + kTableDefinition;
  });
  if (code != SQLITE_DONE) return code;
  schema = tables == 0             ? KeychainSchema::kEmpty
           : (tables == 1 && ours) ? KeychainSchema::kKeychain
                                   : KeychainSchema::kForeign;
  return SQLITE_OK;
}

int SqliteConnection::prepareForUse(bool createTable) {
  std::string script = kSetupScript;
  // Whichever process gets there first creates the table; the others find it when they take
  // their turn.
  if (createTable) script += std::string("CREATE TABLE IF NOT EXISTS ") + kTableDefinition + ";";
  return execWithBusyRetry(script);
}

int SqliteConnection::execWithBusyRetry(const std::string& script) {
  // SQLite answers busy without calling the busy handler where waiting could deadlock, as when
  // several connections switch a fresh file to WAL at once, so busy is retried here as well, up to
  // the same deadline. Every step of the scripts may safely run again.
  const Clock::time_point deadline = Clock::now() + busyTimeout_;
  for (;;) {
    const int code = sqlite3_exec(db_, script.c_str(), nullptr, nullptr, nullptr);
    if (!isSqliteBusy(code) || Clock::now() >= deadline) return code;
    std::this_thread::sleep_for(kBusyRetryPause);
  }
}

int SqliteConnection::run(const SqlCommand& command, const RowHandler& onRow) {
  int code = SQLITE_OK;
  sqlite3_stmt* statement = prepared(command.text, code);
  if (statement == nullptr) return code;
  code = bind(statement, command.arguments);
  const Clock::time_point deadline = Clock::now() + busyTimeout_;
  bool sawRow = false;
  while (code == SQLITE_OK) {
    const int step = sqlite3_step(statement);
    if (step == SQLITE_ROW) {
      sawRow = true;
      if (onRow) onRow(statement);
      continue;
    }
    // Busy before the first row: the statement has done nothing yet and may start over. Rows
    // already handed out cannot be taken back, so after one the failure stands.
    if (isSqliteBusy(step) && !sawRow && Clock::now() < deadline) {
      sqlite3_reset(statement);
      std::this_thread::sleep_for(kBusyRetryPause);
      continue;
    }
    code = step;
  }
  // Reset at once: a cached statement left mid-way would hold its read transaction, and with it
  // an old snapshot of the database, until the next call.
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return code;
}

sqlite3_stmt* SqliteConnection::prepared(const std::string& text, int& code) {
  if (auto cached = statements_.find(text); cached != statements_.end()) return cached->second;
  sqlite3_stmt* statement = nullptr;
  code = sqlite3_prepare_v3(db_, text.c_str(), static_cast<int>(text.size()),
                            SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (code != SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  statements_.emplace(text, statement);
  return statement;
}

}  // namespace quenlarch
