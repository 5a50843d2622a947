// One SQLite connection to the keychain database: opening it without following links, the schema
// check, a cache of prepared statements, and bounded waits while other connections hold the lock.
// Used by SqliteKeychain, which serialises every call on one connection with its own mutex.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/keychain.h"
#include "platform/linux/keychain_store_problem.h"

namespace quenlarch {

// A parameter value; monostate binds NULL.
using SqlArgument = std::variant<std::monostate, std::int64_t, std::string, ByteString>;

// One statement and the values for its parameters, in order.
struct SqlCommand {
  std::string text;
  std::vector<SqlArgument> arguments;

  void append(std::string_view sql, SqlArgument argument) {
    text += sql;
    arguments.push_back(std::move(argument));
  }
};

// What the database holds, judged from its schema alone.
enum class KeychainSchema {
  kEmpty,     // no tables yet: a new file
  kKeychain,  // exactly the keychain's own table
  kForeign,   // anything else: another program's database or an unknown version of ours
};

class SqliteConnection {
 public:
  using RowHandler = std::function<void(sqlite3_stmt*)>;

  explicit SqliteConnection(std::chrono::milliseconds busyTimeout) : busyTimeout_(busyTimeout) {}
  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  // Opens the existing file at `path` (a link anywhere in the last component is refused) and reads
  // its schema into `schema`. SQLITE_OK or the failure.
  int open(const std::string& path, KeychainSchema& schema);
  // Sets the connection up for use (WAL, durable commits), creating the table in an empty
  // database when `createTable`. SQLITE_OK or the failure.
  int prepareForUse(bool createTable);

  // Runs `command` to its end, handing each result row to `onRow`. SQLITE_DONE on success.
  int run(const SqlCommand& command, const RowHandler& onRow = {});
  int changes() const { return sqlite3_changes(db_); }

 private:
  int execWithBusyRetry(const std::string& script);
  sqlite3_stmt* prepared(const std::string& text, int& code);

  const std::chrono::milliseconds busyTimeout_;
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
};

bool isSqliteBusy(int code);
bool isSqliteConstraint(int code);
// The problem an SQLite result code stands for (kNone for success codes).
KeychainStoreProblem storeProblemFromSqlite(int code);

std::string sqliteTextColumn(sqlite3_stmt* row, int column);
// None for NULL; empty bytes stay present.
std::optional<ByteString> sqliteBlobColumn(sqlite3_stmt* row, int column);

}  // namespace quenlarch
