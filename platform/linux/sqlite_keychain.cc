// The SQLite keychain: checks a query's shape and entitlement before anything touches the file,
// turns it into one SQL statement, and runs that on the object's connection.
#include "platform/linux/sqlite_keychain.h"

#include <algorithm>
#include <utility>

#include "platform/keychain_query.h"
#include "platform/linux/sqlite_connection.h"

namespace quenlarch {
namespace {

std::int64_t flagArgument(bool flag) { return flag ? 1 : 0; }

// The WHERE clause for the items `fields` selects; the SQL form of keychainItemMatches. A
// restricted process that names no group is confined to its entitled ones.
void appendWhere(const KeychainFields& fields,
                 const std::optional<std::vector<std::string>>& entitledGroups,
                 SqlCommand& command) {
  command.append(" WHERE sync = ?", flagArgument(fields.synchronizable.value_or(false)));
  if (fields.service) command.append(" AND svce = ?", *fields.service);
  if (fields.account) command.append(" AND acct = ?", *fields.account);
  if (fields.accessGroup) {
    command.append(" AND agrp = ?", *fields.accessGroup);
  } else if (entitledGroups) {
    command.text += " AND agrp IN (";
    for (std::size_t i = 0; i < entitledGroups->size(); ++i) {
      command.append(i == 0 ? "?" : ", ?", (*entitledGroups)[i]);
    }
    command.text += ")";
  }
  // A NULL (absent) generic attribute never equals anything, so such items never match.
  if (fields.generic) command.append(" AND gena = ?", *fields.generic);
  if (fields.genericAbsent) command.text += " AND gena IS NULL";
}

// The SQL form of applyKeychainChanges.
void appendAssignments(const KeychainFields& changes, SqlCommand& command) {
  const char* separator = " ";
  auto assign = [&](const char* column, SqlArgument value) {
    command.append(std::string(separator) + column + " = ?", std::move(value));
    separator = ", ";
  };
  if (changes.service) assign("svce", *changes.service);
  if (changes.account) assign("acct", *changes.account);
  if (changes.accessGroup) assign("agrp", *changes.accessGroup);
  if (changes.synchronizable) assign("sync", flagArgument(*changes.synchronizable));
  if (changes.generic) assign("gena", *changes.generic);
  if (changes.data) assign("data", *changes.data);
}

constexpr const char* kSelectColumns = "SELECT svce, acct, agrp, sync, gena, data FROM genp";

// The item in a row of kSelectColumns.
KeychainItem itemFromRow(sqlite3_stmt* row) {
  return {sqliteTextColumn(row, 0), sqliteTextColumn(row, 1),
          sqliteTextColumn(row, 2), sqlite3_column_int64(row, 3) != 0,
          sqliteBlobColumn(row, 4), sqliteBlobColumn(row, 5).value_or(ByteString{})};
}

}  // namespace

SqliteKeychain::SqliteKeychain(std::string databasePath,
                               std::optional<std::vector<std::string>> entitledAccessGroups,
                               std::chrono::milliseconds busyTimeout)
    : databasePath_(std::move(databasePath)),
      entitledAccessGroups_(std::move(entitledAccessGroups)),
      busyTimeout_(busyTimeout) {}

SqliteKeychain::~SqliteKeychain() = default;

OSStatus SqliteKeychain::checkEntitlement(const std::optional<std::string>& accessGroup) const {
  if (!entitledAccessGroups_) return errSecSuccess;
  if (entitledAccessGroups_->empty()) return errSecMissingEntitlement;
  if (accessGroup && std::find(entitledAccessGroups_->begin(), entitledAccessGroups_->end(),
                               *accessGroup) == entitledAccessGroups_->end()) {
    return errSecMissingEntitlement;
  }
  return errSecSuccess;
}

SqliteKeychain::Opened SqliteKeychain::openLocked(bool create, Tighten tighten) {
  if (database_) return Opened::kReady;
  const Expected<bool, KeychainStoreProblem> file = prepareKeychainFile(databasePath_, create);
  if (!file) {
    lastProblem_ = file.error();
    return Opened::kFailed;
  }
  if (!*file) return Opened::kAbsent;
  auto database = std::make_unique<SqliteConnection>(busyTimeout_);
  KeychainSchema schema = KeychainSchema::kForeign;
  int code = database->open(databasePath_, schema);
  if (code == SQLITE_OK) {
    if (schema == KeychainSchema::kForeign) {
      lastProblem_ = KeychainStoreProblem::kUnknownSchema;
      return Opened::kFailed;
    }
    // An empty database stays untouched (not even switched to WAL) unless an item is to be added.
    if (schema == KeychainSchema::kEmpty && !create) return Opened::kAbsent;
    // The file is the store's own (or about to become it): now its mode may be tightened.
    if (tighten == Tighten::kOnOpen) {
      if (Expected<void, KeychainStoreProblem> owned = makeKeychainFilesOwnerOnly(databasePath_);
          !owned) {
        lastProblem_ = owned.error();
        return Opened::kFailed;
      }
    }
    code = database->prepareForUse(schema == KeychainSchema::kEmpty);
  }
  if (code != SQLITE_OK) {
    lastProblem_ = storeProblemFromSqlite(code);
    if (lastProblem_ == KeychainStoreProblem::kNone) lastProblem_ = KeychainStoreProblem::kUnusable;
    return Opened::kFailed;
  }
  database_ = std::move(database);
  return Opened::kReady;
}

OSStatus SqliteKeychain::failLocked(int sqliteCode) {
  lastProblem_ = storeProblemFromSqlite(sqliteCode);
  // Busy and constraint failures say nothing about the connection; anything else (a corrupt or
  // replaced file, I/O errors) is better met with a fresh one on the next call.
  if (!isSqliteBusy(sqliteCode) && !isSqliteConstraint(sqliteCode)) database_.reset();
  return errSecStoreUnavailable;
}

KeychainMatch SqliteKeychain::copyMatching(const KeychainQuery& query) {
  KeychainFields fields;
  OSStatus status = parseKeychainQuery(query, KeychainQueryUse::kCopy, fields);
  if (status == errSecSuccess) status = checkEntitlement(fields.accessGroup);
  if (status != errSecSuccess) return {status, std::nullopt};
  SqlCommand command{kSelectColumns, {}};
  appendWhere(fields, entitledAccessGroups_, command);
  command.text += " LIMIT 1";

  MutexLock lock(mutex_);
  switch (openLocked(false)) {
    case Opened::kFailed:
      return {errSecStoreUnavailable, std::nullopt};
    case Opened::kAbsent:
      return {errSecItemNotFound, std::nullopt};
    case Opened::kReady:
      break;
  }
  std::optional<KeychainItem> found;
  const int code = database_->run(command, [&](sqlite3_stmt* row) { found = itemFromRow(row); });
  if (code != SQLITE_DONE) return {failLocked(code), std::nullopt};
  if (!found) return {errSecItemNotFound, std::nullopt};
  return {errSecSuccess, keychainResult(*found, fields)};
}

OSStatus SqliteKeychain::update(const KeychainQuery& query,
                                const KeychainQuery& attributesToUpdate) {
  KeychainFields match;
  KeychainFields changes;
  OSStatus status = parseKeychainQuery(query, KeychainQueryUse::kMatch, match);
  if (status == errSecSuccess) {
    status = parseKeychainQuery(attributesToUpdate, KeychainQueryUse::kChanges, changes);
  }
  if (status == errSecSuccess) status = checkEntitlement(match.accessGroup);
  if (status == errSecSuccess && changes.accessGroup) {
    status = checkEntitlement(changes.accessGroup);
  }
  if (status != errSecSuccess) return status;
  // Match and write in one statement: a generic attribute in the query makes this the
  // compare-and-swap that concurrent processes rely on.
  SqlCommand command{"UPDATE genp SET", {}};
  appendAssignments(changes, command);
  appendWhere(match, entitledAccessGroups_, command);
  return runOnMatchingItems(command);
}

OSStatus SqliteKeychain::add(const KeychainQuery& attributes) {
  KeychainFields fields;
  OSStatus status = parseKeychainQuery(attributes, KeychainQueryUse::kNewItem, fields);
  if (status == errSecSuccess) status = checkEntitlement(fields.accessGroup);
  if (status != errSecSuccess) return status;
  if (!fields.accessGroup) {
    if (!entitledAccessGroups_) return errSecParam;
    fields.accessGroup = entitledAccessGroups_->front();
  }
  const KeychainItem item = newKeychainItem(fields, *fields.accessGroup);
  SqlCommand command{
      "INSERT INTO genp(svce, acct, agrp, sync, gena, data) VALUES(?, ?, ?, ?, ?, ?)",
      {item.service, item.account, item.accessGroup, flagArgument(item.synchronizable),
       item.generic ? SqlArgument(*item.generic) : SqlArgument(std::monostate{}), item.data}};

  MutexLock lock(mutex_);
  if (openLocked(true) != Opened::kReady) return errSecStoreUnavailable;
  const int code = database_->run(command);
  if (code == SQLITE_DONE) return errSecSuccess;
  if (isSqliteConstraint(code)) return errSecDuplicateItem;
  return failLocked(code);
}

OSStatus SqliteKeychain::remove(const KeychainQuery& query) {
  KeychainFields match;
  OSStatus status = parseKeychainQuery(query, KeychainQueryUse::kMatch, match);
  if (status == errSecSuccess) status = checkEntitlement(match.accessGroup);
  if (status != errSecSuccess) return status;
  SqlCommand command{"DELETE FROM genp", {}};
  appendWhere(match, entitledAccessGroups_, command);
  return runOnMatchingItems(command);
}

OSStatus SqliteKeychain::runOnMatchingItems(const SqlCommand& command) {
  MutexLock lock(mutex_);
  switch (openLocked(false)) {
    case Opened::kFailed:
      return errSecStoreUnavailable;
    case Opened::kAbsent:
      return errSecItemNotFound;
    case Opened::kReady:
      break;
  }
  const int code = database_->run(command);
  if (code == SQLITE_DONE) return database_->changes() > 0 ? errSecSuccess : errSecItemNotFound;
  // Only an UPDATE can collide with another item's identity.
  if (isSqliteConstraint(code)) return errSecDuplicateItem;
  return failLocked(code);
}

KeychainStoreProblem SqliteKeychain::checkStore() {
  MutexLock lock(mutex_);
  const bool openedHere = database_ == nullptr;
  switch (openLocked(false, Tighten::kByCaller)) {
    case Opened::kFailed:
      return lastProblem_;
    case Opened::kAbsent:
      return KeychainStoreProblem::kNone;
    case Opened::kReady:
      break;
  }
  std::vector<std::string> findings;
  const int code = database_->run({"PRAGMA quick_check", {}}, [&](sqlite3_stmt* row) {
    findings.push_back(sqliteTextColumn(row, 0));
  });
  if (code != SQLITE_DONE) {
    failLocked(code);
    return lastProblem_;
  }
  if (findings != std::vector<std::string>{"ok"}) {
    lastProblem_ = KeychainStoreProblem::kDamaged;
    database_.reset();
    return lastProblem_;
  }
  // Sound: the file is a keychain, and its mode may be tightened as on any other first opening.
  if (openedHere) {
    if (Expected<void, KeychainStoreProblem> owned = makeKeychainFilesOwnerOnly(databasePath_);
        !owned) {
      lastProblem_ = owned.error();
      database_.reset();
      return lastProblem_;
    }
  }
  return KeychainStoreProblem::kNone;
}

OSStatus SqliteKeychain::integrityCheck() {
  return checkStore() == KeychainStoreProblem::kNone ? errSecSuccess : errSecStoreUnavailable;
}

KeychainStoreProblem SqliteKeychain::lastProblem() const {
  MutexLock lock(mutex_);
  return lastProblem_;
}

}  // namespace quenlarch
