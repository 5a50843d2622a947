// The containing app's access to the badge item: add, read, rewrite and delete, with the same
// compare-and-swap discipline the extension uses, so an app-side write never clobbers an increment
// that landed in between.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "badge/keychain_item.h"
#include "platform/keychain.h"

namespace quenlarch::badge_app {

// A keychain status in words, for error lines.
std::string describeStatus(OSStatus status);

// Outcome of a rewrite: the status of the last keychain call, and the bytes written on success.
struct RewriteResult {
  OSStatus status = errSecSuccess;
  std::optional<ByteString> written;  // none when the transform chose to leave the record alone
};

// Reads the record, asks `transform` for the new bytes (none: leave it) and writes them only if
// the stored bytes are still those read; retries a lost race up to 24 times with a short random
// pause.
RewriteResult rewriteRecord(Keychain& keychain, const HomeScreenBadgeKeychainItem& item,
                            const std::function<std::optional<ByteString>(const ByteString&)>& transform);

// The item's attributes as the app creates it, holding `record`.
KeychainQuery newItemAttributes(const HomeScreenBadgeKeychainItem& item, const ByteString& record);

// The status and the generic attribute of the item (none if absent or not bytes).
struct ReadResult {
  OSStatus status = errSecSuccess;
  std::optional<ByteString> record;
};
ReadResult readRecord(Keychain& keychain, const HomeScreenBadgeKeychainItem& item);

}  // namespace quenlarch::badge_app
