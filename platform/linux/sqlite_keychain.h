// The keychain on Linux: generic-password items in one SQLite database shared by the containing
// app and every extension process, with access groups standing in for entitlements.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain.h"

namespace quenlarch {

inline constexpr std::chrono::milliseconds kDefaultKeychainBusyTimeout{5000};

// $QUENLARCH_KEYCHAIN when set and non-empty; otherwise keychain.sqlite in the "quenlarch" folder
// of $XDG_DATA_HOME (when absolute) or of ~/.local/share. Empty when no home folder can be found,
// which makes every call on a keychain at that path answer errSecStoreUnavailable.
std::string defaultKeychainPath();

// Items are identified by (class, service, account, access group, synchronizable); a service or
// account left out of `add` is stored as the empty string, the synchronizable flag as false, and
// value data as empty bytes. Queries match exactly on what they name, with two rules of their own:
//  - the synchronizable flag is always part of the match: a query that does not name
//    kSecAttrSynchronizable matches only items that are not synchronizable;
//  - a query naming kSecAttrGeneric matches only items whose generic bytes are exactly those (an
//    item without the attribute never matches). In `update` the match and the write are one SQL
//    statement, so this is a compare-and-swap that holds across processes.
// Keys other than the attributes above and, for copyMatching, kSecMatchLimit (kSecMatchLimitOne
// only), kSecReturnAttributes and kSecReturnData (booleans) make a query malformed (errSecParam),
// as do values of the wrong type, a missing or other class, an empty `update` and an `update` that
// would change the class.
//
// copyMatching answers one item: without return flags the result is absent (an existence check);
// otherwise it is a dictionary with the item's attributes under their names when
// kSecReturnAttributes is set, and kSecValueData when kSecReturnData is set.
//
// A restricted object (constructed with entitled access groups) reaches only items in those groups:
// naming another group, in the query or as an update's new group, is errSecMissingEntitlement, and
// so is every call when the list is empty; a query without a group covers the entitled ones, and
// `add` without a group uses the first. An unrestricted object (the containing app's tools) reaches
// every group but has no default one, so its `add` must name a group.
//
// The database is opened on the first call that passes these checks, so a process that never needs
// the keychain, or is refused, never touches the file. It is created with mode 0600 (missing parent
// directories 0700) and kept in WAL mode with synchronous=FULL: once a call has returned success
// its write survives a crash. Waiting for other writers is bounded by `busyTimeout`; past it, and
// for unreadable, corrupt or full databases, calls answer errSecStoreUnavailable.
//
// Thread safety: one connection per object, serialised by a mutex; objects in other threads or
// processes may use the same file at the same time.
class SqliteKeychain final : public Keychain {
 public:
  // `entitledAccessGroups`: none for an unrestricted process, else the groups it may reach.
  SqliteKeychain(std::string databasePath,
                 std::optional<std::vector<std::string>> entitledAccessGroups,
                 std::chrono::milliseconds busyTimeout = kDefaultKeychainBusyTimeout);
  ~SqliteKeychain() override;

  KeychainMatch copyMatching(const KeychainQuery& query) override;
  OSStatus update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) override;
  OSStatus add(const KeychainQuery& attributes) override;
  OSStatus remove(const KeychainQuery& query) override;

  // SQLite's quick structural check of the whole database: errSecSuccess when it finds nothing
  // wrong, errSecStoreUnavailable otherwise (including when the file cannot be opened).
  OSStatus integrityCheck();

 private:
  class Database;  // the open connection and its prepared statements

  // Whether this process may reach `accessGroup` (or, when none is named, any group at all).
  OSStatus checkEntitlement(const std::optional<std::string>& accessGroup) const;
  // Opens the database unless it is open already. Requires mutex_.
  OSStatus openLocked();
  // Drops the connection after an error that a fresh one might not meet again. Requires mutex_.
  void discardAfter(int sqliteCode);

  const std::string databasePath_;
  const std::optional<std::vector<std::string>> entitledAccessGroups_;
  const std::chrono::milliseconds busyTimeout_;
  std::mutex mutex_;
  std::unique_ptr<Database> database_;  // guarded by mutex_
};

}  // namespace quenlarch
