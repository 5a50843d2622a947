// Finds an app's notification service extension the way the system does: among the app's plug-ins,
// the first whose Info.plist declares the notification service extension point.
#pragma once

#include <string>
#include <variant>

namespace quenlarch::notification_host {

inline constexpr const char* kServiceExtensionPoint = "usernotifications.service";

struct NotFound {
  std::string reason;
};

// The path of the service extension's executable inside the app bundle `appPath`, or why there is
// none that can be run.
std::variant<std::string, NotFound> locateServiceExtension(const std::string& appPath);

// The one line that says there is none, and how to lay one out.
std::string noExtensionText(const std::string& appPath, const NotFound& notFound);

}  // namespace quenlarch::notification_host
