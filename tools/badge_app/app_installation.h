// Installing one app, as install does it and fleet create does it for each of its devices: the
// bundle and its badge extension laid out, the badge item created in the app's keychain and the
// installation given a device token.
#pragma once

#include <optional>
#include <string>

#include "platform/linux/push_registration.h"
#include "tools/badge_app/app_keychain.h"
#include "tools/badge_app/app_layout.h"
#include "tools/badge_app/command_output.h"

namespace quenlarch::badge_app {

// What the keychain held before: no item (now created), the item (kept as it was), or an item
// whose live counter belongs to another installation (kept too; enable makes it count for this).
enum class BadgeItemFound { kNone, kExisting, kAnotherInstallations };

struct Installation {
  std::string accessGroup;
  BadgeItemFound itemFound = BadgeItemFound::kNone;
  PushRegistration registration;
};

// install's "item" words for `found`: "created", "existing", "another installation's".
const char* describeItemFound(BadgeItemFound found);

// Installs the app at `layout` into `keychain` for `team`, laying out `executable` as the
// extension's (as `placement` says). An existing registration is read before anything is written,
// so a damaged one leaves the app untouched; a live token is kept. REQUIRES: `keychain` has been
// checked (openCheckedKeychain) and `layout.app` does not end in ".appex".
CommandStep<Installation> installApp(const AppLayout& layout, AppKeychain& keychain,
                                     const std::string& team,
                                     const std::optional<std::string>& executable,
                                     ExecutablePlacement placement);

}  // namespace quenlarch::badge_app
