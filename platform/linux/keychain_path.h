// Where the keychain database lives and what the store demands of that path before SQLite opens
// it: the file is the user's secret store, so it is owner-only and never reached through a link.
#pragma once

#include <string>

#include "platform/linux/keychain_store_problem.h"

namespace quenlarch {

// $QUENLARCH_KEYCHAIN when set and non-empty; otherwise keychain.sqlite in the "quenlarch" folder
// of $XDG_DATA_HOME (when absolute) or of ~/.local/share. Empty when no home folder can be found,
// which makes every call on a keychain at that path fail.
std::string defaultKeychainPath();

struct KeychainFileCheck {
  bool exists = false;  // false only when the file is missing and `create` was not asked for
  KeychainStoreProblem problem = KeychainStoreProblem::kNone;
};

// Readies `path` for opening. A missing file is created (with its missing folders, 0700) only when
// `create` is set, so reading a keychain that does not exist leaves no trace. The file and any
// -wal and -shm beside it must be regular files, not symbolic links; modes wider than owner-only
// are tightened to 0600, and a file that cannot be tightened is refused (kNoPermission).
KeychainFileCheck prepareKeychainFile(const std::string& path, bool create);

}  // namespace quenlarch
