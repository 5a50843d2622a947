// The floor for every write the badge service makes: one durable single-row commit, straight
// through SQLite with the settings the keychain store uses (WAL, synchronous=FULL) and nothing
// else: one table of one row, one prepared UPDATE, one transaction.
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace quenlarch::bench {

class DurableCommit {
 public:
  // Creates the database at `path` in WAL mode with its one row. Throws on failure.
  static void create(const std::string& path);

  // Opens a database made by create(): sets synchronous=FULL (a per-connection setting) and
  // prepares the UPDATE; nothing else. Throws on failure.
  explicit DurableCommit(const std::string& path);
  // Closes without the checkpoint SQLite runs when the last connection goes, so that a process
  // measured with this pays for its commit and nothing more (the extension never closes either).
  ~DurableCommit();
  DurableCommit(const DurableCommit&) = delete;
  DurableCommit& operator=(const DurableCommit&) = delete;

  // Writes `value` into the row and commits; returns once the commit is on disk. Throws on failure.
  void commit(std::int64_t value);

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* update_ = nullptr;
};

}  // namespace quenlarch::bench
