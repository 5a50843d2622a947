// The SQLite keychain: checks a query's shape and entitlement before anything touches the file,
// turns it into one SQL statement, and runs that on the object's connection with bounded waits
// for other writers.
#include "platform/linux/sqlite_keychain.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>

namespace quenlarch {
namespace {

using Clock = std::chrono::steady_clock;

// Run on every new connection, after the busy timeout is set so that each step waits for other
// connections. WAL mode is stored in the file: on a database already in WAL the first pragma only
// reads the header. synchronous is per connection and FULL makes every commit reach the disk
// before it returns. The table is created by whichever process gets there first; the others find
// it when they take their turn.
constexpr const char* kOpenScript =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    // Extension processes end without closing the database, so nothing checkpoints on close and
    // every new process first reads the whole write-ahead log. Checkpointing every 64 pages keeps
    // that log, and so the start of every process, short.
    "PRAGMA wal_autocheckpoint=64;"
    "CREATE TABLE IF NOT EXISTS genp("
    "svce TEXT NOT NULL, acct TEXT NOT NULL, agrp TEXT NOT NULL, sync INTEGER NOT NULL,"
    "gena BLOB, data BLOB NOT NULL,"
    "PRIMARY KEY(svce, acct, agrp, sync)) WITHOUT ROWID;";

// Pause between attempts when SQLite reports busy without having waited itself.
constexpr std::chrono::microseconds kBusyRetryPause{500};

// What a query or an attribute dictionary says, with each value checked for its type.
struct ItemFields {
  bool namesClass = false;
  std::optional<std::string> service;
  std::optional<std::string> account;
  std::optional<std::string> accessGroup;
  std::optional<bool> synchronizable;
  std::optional<ByteString> generic;
  std::optional<ByteString> data;
  bool returnAttributes = false;
  bool returnData = false;
};

enum class Use {
  kMatch,    // update's query, remove: attributes to match
  kCopy,     // copyMatching: attributes to match plus limit and return flags
  kNewItem,  // add: the whole item
  kChanges,  // update's attributes: what to write; the class may be repeated but not changed
};

bool readString(const PlistValue& value, std::optional<std::string>& out) {
  const std::string* text = value.asString();
  if (text == nullptr) return false;
  out = *text;
  return true;
}

bool readBytes(const PlistValue& value, std::optional<ByteString>& out) {
  const PlistData* data = value.asData();
  if (data == nullptr) return false;
  out = data->bytes;
  return true;
}

bool readBool(const PlistValue& value, bool& out) {
  const bool* flag = std::get_if<bool>(&value.storage());
  if (flag == nullptr) return false;
  out = *flag;
  return true;
}

OSStatus parseFields(const KeychainQuery& query, Use use, ItemFields& fields) {
  const bool writes = use == Use::kNewItem || use == Use::kChanges;
  for (const auto& [key, value] : query) {
    bool ok = false;
    if (key == kSecClass) {
      const std::string* name = value.asString();
      ok = name != nullptr && *name == kSecClassGenericPassword;
      fields.namesClass = true;
    } else if (key == kSecAttrService) {
      ok = readString(value, fields.service);
    } else if (key == kSecAttrAccount) {
      ok = readString(value, fields.account);
    } else if (key == kSecAttrAccessGroup) {
      ok = readString(value, fields.accessGroup);
    } else if (key == kSecAttrSynchronizable) {
      bool flag = false;
      ok = readBool(value, flag);
      fields.synchronizable = flag;
    } else if (key == kSecAttrGeneric) {
      ok = readBytes(value, fields.generic);
    } else if (key == kSecValueData && writes) {
      ok = readBytes(value, fields.data);
    } else if (key == kSecMatchLimit && use == Use::kCopy) {
      const std::string* limit = value.asString();
      ok = limit != nullptr && *limit == kSecMatchLimitOne;
    } else if (key == kSecReturnAttributes && use == Use::kCopy) {
      ok = readBool(value, fields.returnAttributes);
    } else if (key == kSecReturnData && use == Use::kCopy) {
      ok = readBool(value, fields.returnData);
    }
    if (!ok) return errSecParam;
  }
  if (use == Use::kChanges) {
    const bool changesSomething = fields.service || fields.account || fields.accessGroup ||
                                  fields.synchronizable || fields.generic || fields.data;
    return changesSomething ? errSecSuccess : errSecParam;
  }
  return fields.namesClass ? errSecSuccess : errSecParam;
}

// One statement and the values for its parameters, in order. monostate binds NULL.
using SqlArgument = std::variant<std::monostate, std::int64_t, std::string, ByteString>;

struct SqlCommand {
  std::string text;
  std::vector<SqlArgument> arguments;

  void append(std::string_view sql, SqlArgument argument) {
    text += sql;
    arguments.push_back(std::move(argument));
  }
};

std::int64_t flagArgument(bool flag) { return flag ? 1 : 0; }

// The WHERE clause for the items `fields` selects. A restricted process that names no group is
// confined to its entitled ones.
void appendWhere(const ItemFields& fields,
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
}

void appendAssignments(const ItemFields& changes, SqlCommand& command) {
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

std::string textColumn(sqlite3_stmt* row, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, column));
  if (text == nullptr) return {};
  return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
}

std::optional<ByteString> blobColumn(sqlite3_stmt* row, int column) {
  if (sqlite3_column_type(row, column) == SQLITE_NULL) return std::nullopt;
  // An empty blob comes back as a null pointer; it is still present, just empty.
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(row, column));
  if (bytes == nullptr) return ByteString{};
  return ByteString(bytes, bytes + sqlite3_column_bytes(row, column));
}

constexpr const char* kSelectColumns = "SELECT svce, acct, agrp, sync, gena, data FROM genp";

// The result dictionary for a row of kSelectColumns.
PlistValue resultFromRow(sqlite3_stmt* row, const ItemFields& request) {
  PlistValue result;
  if (request.returnAttributes) {
    result.set(kSecClass, PlistValue(kSecClassGenericPassword));
    result.set(kSecAttrService, PlistValue(textColumn(row, 0)));
    result.set(kSecAttrAccount, PlistValue(textColumn(row, 1)));
    result.set(kSecAttrAccessGroup, PlistValue(textColumn(row, 2)));
    result.set(kSecAttrSynchronizable, PlistValue(sqlite3_column_int64(row, 3) != 0));
    if (std::optional<ByteString> generic = blobColumn(row, 4)) {
      result.set(kSecAttrGeneric, PlistValue(PlistData{std::move(*generic)}));
    }
  }
  if (request.returnData) {
    result.set(kSecValueData, PlistValue(PlistData{blobColumn(row, 5).value_or(ByteString{})}));
  }
  return result;
}

bool isBusy(int code) { return (code & 0xff) == SQLITE_BUSY; }
bool isConstraint(int code) { return (code & 0xff) == SQLITE_CONSTRAINT; }

// Creates the folders on the way to `path`, owner-only. Failures show when the file is opened.
void makeParentFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::string defaultKeychainPath() {
  if (const char* path = std::getenv("QUENLARCH_KEYCHAIN"); path != nullptr && *path != '\0') {
    return path;
  }
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
    return std::string(data) + "/quenlarch/keychain.sqlite";
  }
  std::string home = homeFolder();
  if (home.empty()) return {};
  return home + "/.local/share/quenlarch/keychain.sqlite";
}

class SqliteKeychain::Database {
 public:
  using RowHandler = std::function<void(sqlite3_stmt*)>;

  explicit Database(std::chrono::milliseconds busyTimeout) : busyTimeout_(busyTimeout) {}
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  ~Database() {
    for (auto& [text, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close_v2(db_);  // null-safe
  }

  // Opens `path`, creating the file and its folders when missing. SQLITE_OK or the failure.
  int open(const std::string& path) {
    if (path.empty()) return SQLITE_CANTOPEN;
    // Creating the file here gives it owner-only permissions whatever the umask, without changing
    // the process-wide umask under other threads. SQLite then opens it without the right to
    // create, and gives its -wal and -shm files the same permissions.
    auto create = [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); };
    int fd = create();
    if (fd < 0 && errno == ENOENT) {
      makeParentFolders(path);
      fd = create();
    }
    if (fd < 0) return SQLITE_CANTOPEN;
    ::close(fd);
    // NOMUTEX: the owning object's mutex already serialises every use of this connection.
    int code = sqlite3_open_v2(path.c_str(), &db_,
                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                               nullptr);
    if (code != SQLITE_OK) return code;
    // Set before the first statement: a fresh connection can find the database busy while another
    // process closes the last handle on it, and must wait then rather than fail.
    sqlite3_busy_timeout(db_, busyTimeoutMilliseconds());
    // SQLite answers busy without calling the busy handler where waiting could deadlock, as when
    // several connections switch a fresh file to WAL at once, so busy is retried here as well,
    // up to the same deadline. Every step of the script may safely run again.
    const Clock::time_point deadline = Clock::now() + busyTimeout_;
    for (;;) {
      code = sqlite3_exec(db_, kOpenScript, nullptr, nullptr, nullptr);
      if (!isBusy(code) || Clock::now() >= deadline) return code;
      std::this_thread::sleep_for(kBusyRetryPause);
    }
  }

  // Runs `command` to its end, handing each result row to `onRow`. SQLITE_DONE on success.
  int run(const SqlCommand& command, const RowHandler& onRow = {}) {
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
      if (isBusy(step) && !sawRow && Clock::now() < deadline) {
        sqlite3_reset(statement);
        std::this_thread::sleep_for(kBusyRetryPause);
        continue;
      }
      code = step;
    }
    // Reset at once: a cached statement left mid-way would hold its read transaction, and with
    // it an old snapshot of the database, until the next call.
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return code;
  }

  int changes() const { return sqlite3_changes(db_); }

 private:
  int busyTimeoutMilliseconds() const {
    return static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(busyTimeout_.count(), 0, 1 << 30));
  }

  sqlite3_stmt* prepared(const std::string& text, int& code) {
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

  // The arguments outlive the statement's run (run() clears the bindings), so SQLite need not copy.
  static int bind(sqlite3_stmt* statement, const std::vector<SqlArgument>& arguments) {
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

  const std::chrono::milliseconds busyTimeout_;
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
};

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

OSStatus SqliteKeychain::openLocked() {
  if (database_) return errSecSuccess;
  auto database = std::make_unique<Database>(busyTimeout_);
  if (database->open(databasePath_) != SQLITE_OK) return errSecStoreUnavailable;
  database_ = std::move(database);
  return errSecSuccess;
}

void SqliteKeychain::discardAfter(int sqliteCode) {
  // Busy and constraint failures say nothing about the connection; anything else (a corrupt or
  // replaced file, I/O errors) is better met with a fresh one on the next call.
  if (!isBusy(sqliteCode) && !isConstraint(sqliteCode)) database_.reset();
}

KeychainMatch SqliteKeychain::copyMatching(const KeychainQuery& query) {
  ItemFields fields;
  OSStatus status = parseFields(query, Use::kCopy, fields);
  if (status == errSecSuccess) status = checkEntitlement(fields.accessGroup);
  if (status != errSecSuccess) return {status, std::nullopt};
  SqlCommand command{kSelectColumns, {}};
  appendWhere(fields, entitledAccessGroups_, command);
  command.text += " LIMIT 1";

  std::lock_guard<std::mutex> lock(mutex_);
  if (status = openLocked(); status != errSecSuccess) return {status, std::nullopt};
  bool found = false;
  PlistValue result;
  int code = database_->run(command, [&](sqlite3_stmt* row) {
    found = true;
    result = resultFromRow(row, fields);
  });
  if (code != SQLITE_DONE) {
    discardAfter(code);
    return {errSecStoreUnavailable, std::nullopt};
  }
  if (!found) return {errSecItemNotFound, std::nullopt};
  if (!fields.returnAttributes && !fields.returnData) return {errSecSuccess, std::nullopt};
  return {errSecSuccess, std::move(result)};
}

OSStatus SqliteKeychain::update(const KeychainQuery& query,
                                const KeychainQuery& attributesToUpdate) {
  ItemFields match;
  ItemFields changes;
  OSStatus status = parseFields(query, Use::kMatch, match);
  if (status == errSecSuccess) status = parseFields(attributesToUpdate, Use::kChanges, changes);
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

  std::lock_guard<std::mutex> lock(mutex_);
  if (status = openLocked(); status != errSecSuccess) return status;
  int code = database_->run(command);
  if (code == SQLITE_DONE) return database_->changes() > 0 ? errSecSuccess : errSecItemNotFound;
  discardAfter(code);
  return isConstraint(code) ? errSecDuplicateItem : errSecStoreUnavailable;
}

OSStatus SqliteKeychain::add(const KeychainQuery& attributes) {
  ItemFields item;
  OSStatus status = parseFields(attributes, Use::kNewItem, item);
  if (status == errSecSuccess) status = checkEntitlement(item.accessGroup);
  if (status != errSecSuccess) return status;
  if (!item.accessGroup) {
    if (!entitledAccessGroups_) return errSecParam;
    item.accessGroup = entitledAccessGroups_->front();
  }
  SqlCommand command{
      "INSERT INTO genp(svce, acct, agrp, sync, gena, data) VALUES(?, ?, ?, ?, ?, ?)",
      {item.service.value_or(""), item.account.value_or(""), *item.accessGroup,
       flagArgument(item.synchronizable.value_or(false)),
       item.generic ? SqlArgument(*item.generic) : SqlArgument(std::monostate{}),
       item.data.value_or(ByteString{})}};

  std::lock_guard<std::mutex> lock(mutex_);
  if (status = openLocked(); status != errSecSuccess) return status;
  int code = database_->run(command);
  if (code == SQLITE_DONE) return errSecSuccess;
  discardAfter(code);
  return isConstraint(code) ? errSecDuplicateItem : errSecStoreUnavailable;
}

OSStatus SqliteKeychain::remove(const KeychainQuery& query) {
  ItemFields match;
  OSStatus status = parseFields(query, Use::kMatch, match);
  if (status == errSecSuccess) status = checkEntitlement(match.accessGroup);
  if (status != errSecSuccess) return status;
  SqlCommand command{"DELETE FROM genp", {}};
  appendWhere(match, entitledAccessGroups_, command);

  std::lock_guard<std::mutex> lock(mutex_);
  if (status = openLocked(); status != errSecSuccess) return status;
  int code = database_->run(command);
  if (code == SQLITE_DONE) return database_->changes() > 0 ? errSecSuccess : errSecItemNotFound;
  discardAfter(code);
  return errSecStoreUnavailable;
}

OSStatus SqliteKeychain::integrityCheck() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (OSStatus status = openLocked(); status != errSecSuccess) return status;
  std::vector<std::string> findings;
  int code = database_->run({"PRAGMA quick_check", {}},
                            [&](sqlite3_stmt* row) { findings.push_back(textColumn(row, 0)); });
  if (code != SQLITE_DONE) discardAfter(code);
  const bool clean = code == SQLITE_DONE && findings == std::vector<std::string>{"ok"};
  return clean ? errSecSuccess : errSecStoreUnavailable;
}

}  // namespace quenlarch
