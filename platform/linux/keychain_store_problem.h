// Why the SQLite keychain could not be used, in more detail than the keychain's status codes say.
// Every one of these answers errSecStoreUnavailable through the Keychain seam (its callers only
// need to know that the store failed); the app-side tool and the extension's log ask for the
// detail to name the problem.
#pragma once

#include <string>

#include "platform/keychain.h"

namespace quenlarch {

enum class KeychainStoreProblem {
  kNone,
  kBusy,           // other writers held the database past the busy timeout
  kNoPermission,   // the file or its folder cannot be read or written, or made owner-only
  kSymlink,        // the keychain path (or its -wal or -shm file) is a symbolic link: refused
  kDamaged,        // not a database, or a database that fails its structural check
  kUnknownSchema,  // a database, but not a keychain this store knows (a foreign file)
  kFull,           // the disk (or the file-size limit) is full
  kUnusable,       // anything else: not a regular file, an unreachable folder, an I/O error
};

// The problem in words, one clause without the path: "the keychain is damaged or not a database".
std::string describeKeychainStoreProblem(KeychainStoreProblem problem);
// A failed keychain call in words: the store's problem for errSecStoreUnavailable, otherwise what
// the status means.
std::string describeKeychainFailure(OSStatus status, KeychainStoreProblem problem);

}  // namespace quenlarch
