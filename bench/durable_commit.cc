// Durable single-row commits on a raw SQLite connection.
#include "bench/durable_commit.h"

#include <sqlite3.h>

#include <stdexcept>

namespace quenlarch::bench {
namespace {

constexpr const char* kCreate =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE IF NOT EXISTS floor(k INTEGER PRIMARY KEY, v INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO floor(k, v) VALUES(1, 0);";

void check(int code, sqlite3* db, const char* what) {
  if (code == SQLITE_OK || code == SQLITE_DONE) return;
  throw std::runtime_error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "no database"));
}

}  // namespace

void DurableCommit::create(const std::string& path) {
  sqlite3* db = nullptr;
  int code =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (code == SQLITE_OK) code = sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
  std::string message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close_v2(db);
  if (code != SQLITE_OK) throw std::runtime_error("create " + path + ": " + message);
}

DurableCommit::DurableCommit(const std::string& path) {
  check(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr),
        db_, "open");
  sqlite3_busy_timeout(db_, 5000);
  check(sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr), db_, "pragma");
  check(sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr), db_, "config");
  check(sqlite3_prepare_v2(db_, "UPDATE floor SET v = ? WHERE k = 1", -1, &update_, nullptr), db_,
        "prepare");
}

DurableCommit::~DurableCommit() {
  sqlite3_finalize(update_);
  sqlite3_close_v2(db_);
}

void DurableCommit::commit(std::int64_t value) {
  sqlite3_bind_int64(update_, 1, value);
  const int code = sqlite3_step(update_);
  sqlite3_reset(update_);
  check(code, db_, "commit");
}

}  // namespace quenlarch::bench
