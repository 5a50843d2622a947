// The on-disk layout of an installed app as badge-app lays it out: the app bundle, the badge
// service extension inside it, the extension's Info.plist and entitlements, and its executable.
#pragma once

#include <optional>
#include <string>

#include "platform/linux/expected.h"

namespace quenlarch::badge_app {

inline constexpr const char* kExtensionBundleName = "BadgeService.appex";
inline constexpr const char* kExtensionExecutableName = "BadgeService";
inline constexpr const char* kExtensionPointIdentifier = "usernotifications.service";
inline constexpr const char* kDefaultTeamId = "QLBADGE001";

struct AppLayout {
  std::string app;        // canonical path of the app bundle
  std::string extension;  // <app>/Contents/PlugIns/BadgeService.appex
  std::string appInfoPlist;
  std::string extensionInfoPlist;
  std::string entitlementsPlist;
  std::string executable;

  // At the canonical path (bundle_location.h), which both sides hash. None when the path cannot be
  // resolved.
  static std::optional<AppLayout> forApp(const std::string& appPath);
};

// The access group of an installed app: the extension's TAVIBadgeKeychainGroup, validated as the
// extension validates it. None when there is no such extension or value.
std::optional<std::string> installedAccessGroup(const AppLayout& layout);

// Where this badge-app finds the extension executable to install: $BADGE_SERVICE_EXECUTABLE, else
// where the same installation put it (PREFIX/libexec/quenlarch for PREFIX/bin/badge-app), else in
// the build tree beside it. None when none exists.
std::optional<std::string> extensionExecutableToInstall();

// What install says when extensionExecutableToInstall() found none.
inline constexpr const char* kNoExecutableWarning =
    "warning: no BadgeService executable found; the extension bundle has none "
    "(set BADGE_SERVICE_EXECUTABLE)";

// How the extension executable gets into the bundle. A hard link suits many apps laid out at once
// (a copy per app would cost its whole size each time); the extension still finds its own bundle,
// since the path it was started by is the one it resolves. kHardLink copies where no link can be
// made (another filesystem).
enum class ExecutablePlacement { kCopy, kHardLink };

// Writes the app and extension Info.plists, the entitlements and the executable (when given),
// replacing only files whose content differs. The reason names the file that failed.
Expected<void> layOutApp(const AppLayout& layout, const std::string& accessGroup,
                         const std::optional<std::string>& executable,
                         ExecutablePlacement placement = ExecutablePlacement::kCopy);

}  // namespace quenlarch::badge_app
