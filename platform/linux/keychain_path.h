// Where the keychain database lives and what the store demands of that path: the file is the
// user's secret store, so it is owner-only and never reached through a link. A file found there
// that is not a keychain is refused and never changed, not even its mode.
#pragma once

#include <string>

#include "platform/linux/expected.h"
#include "platform/linux/keychain_store_problem.h"

namespace quenlarch {

// $QUENLARCH_KEYCHAIN when set and non-empty; otherwise keychain.sqlite in the "quenlarch" folder
// of $XDG_DATA_HOME (when absolute) or of ~/.local/share. Fails when none of these can be found
// (no home folder).
Expected<std::string> defaultKeychainPath();

// Readies `path` for opening and says whether there is a file to open (false only when it is
// missing and `create` was not asked for). A missing file is created, 0600 (with its missing
// folders, 0700), only when `create` is set, so reading a keychain that does not exist leaves no
// trace. The file and any -wal and -shm beside it must be regular files, not symbolic links. An
// existing file is only looked at: whether it is a keychain is known once it is open.
Expected<bool, KeychainStoreProblem> prepareKeychainFile(const std::string& path, bool create);

// Tightens the keychain file and any -wal and -shm beside it to 0600 where their modes are wider;
// kNoPermission when that cannot be done. Only for a file known to be the store's own.
Expected<void, KeychainStoreProblem> makeKeychainFilesOwnerOnly(const std::string& path);

}  // namespace quenlarch
