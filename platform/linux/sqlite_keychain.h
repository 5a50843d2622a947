// The keychain on Linux: generic-password items in one SQLite database shared by the containing
// app and every extension process, with access groups standing in for entitlements. It obeys the
// matching contract of platform/keychain.h.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain.h"
#include "platform/linux/keychain_path.h"
#include "platform/linux/keychain_store_problem.h"
#include "platform/mutex.h"

namespace quenlarch {

class SqliteConnection;
struct SqlCommand;

inline constexpr std::chrono::milliseconds kDefaultKeychainBusyTimeout{5000};

// A restricted object (constructed with entitled access groups) reaches only items in those groups:
// naming another group, in the query or as an update's new group, is errSecMissingEntitlement, and
// so is every call when the list is empty; a query without a group covers the entitled ones, and
// `add` without a group uses the first. An unrestricted object (the containing app's tools) reaches
// every group but has no default one, so its `add` must name a group.
//
// The database is opened on the first call that passes these checks, so a process that never needs
// the keychain, or is refused, never touches the file. Only `add` creates it (mode 0600, missing
// parent folders 0700): on a missing file or an empty database, lookups, updates and removals
// answer errSecItemNotFound and leave nothing behind. The path policy of keychain_path.h applies
// (no symbolic links, owner-only modes). On opening, the schema must be exactly the keychain's own
// table; a foreign or damaged file is refused and never altered, not even its mode: a wider mode
// is tightened only once the file is known to be a keychain (after checkStore's structural check,
// when that is the first call). The database is kept in WAL mode with
// synchronous=FULL: once a call has returned success its write survives a crash. Waiting for other
// writers is bounded by `busyTimeout`. Every failure of the store itself (busy past the timeout,
// no permission, a link, a damaged or foreign database, a full disk) answers
// errSecStoreUnavailable; lastProblem() tells which.
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

  KeychainMatch copyMatching(const KeychainQuery& query) override EXCLUDES(mutex_);
  OSStatus update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) override
      EXCLUDES(mutex_);
  OSStatus add(const KeychainQuery& attributes) override EXCLUDES(mutex_);
  OSStatus remove(const KeychainQuery& query) override EXCLUDES(mutex_);

  // Opens the store (without creating it) and runs SQLite's quick structural check of the whole
  // database. kNone when it finds nothing wrong or there is no database yet.
  KeychainStoreProblem checkStore() EXCLUDES(mutex_);
  // errSecSuccess when checkStore() finds no problem, errSecStoreUnavailable otherwise.
  OSStatus integrityCheck() EXCLUDES(mutex_);
  // Why the last call on this object that answered errSecStoreUnavailable failed.
  KeychainStoreProblem lastProblem() const EXCLUDES(mutex_);

 private:
  enum class Opened { kReady, kAbsent, kFailed };
  // Whether opening may tighten the file's mode at once, or must leave that to the caller, which
  // first checks the structure.
  enum class Tighten { kOnOpen, kByCaller };

  // Whether this process may reach `accessGroup` (or, when none is named, any group at all).
  OSStatus checkEntitlement(const std::optional<std::string>& accessGroup) const;
  // Opens the database unless it is open already; kAbsent when there is none and `create` is not
  // set.
  Opened openLocked(bool create, Tighten tighten = Tighten::kOnOpen) REQUIRES(mutex_);
  // Records why a call failed and drops the connection after an error that a fresh one might not
  // meet again.
  OSStatus failLocked(int sqliteCode) REQUIRES(mutex_);
  // Runs an UPDATE or DELETE on the items it matches; a store that does not exist yet holds none
  // and is not created. errSecItemNotFound when nothing matched.
  OSStatus runOnMatchingItems(const SqlCommand& command) EXCLUDES(mutex_);

  const std::string databasePath_;
  const std::optional<std::vector<std::string>> entitledAccessGroups_;
  const std::chrono::milliseconds busyTimeout_;
  mutable Mutex mutex_;
  std::unique_ptr<SqliteConnection> database_ GUARDED_BY(mutex_);
  KeychainStoreProblem lastProblem_ GUARDED_BY(mutex_) = KeychainStoreProblem::kNone;
};

}  // namespace quenlarch
