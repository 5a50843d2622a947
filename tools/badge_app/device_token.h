// The installation's device token as badge-app keeps it (platform/linux/push_registration.h holds
// the file): install gives a token and keeps a live one, uninstall retires it, and status and
// uninstall show it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/linux/expected.h"
#include "platform/linux/push_registration.h"

namespace quenlarch::badge_app {

// The registration install leaves: `current`'s token when it is live (a re-install keeps it, for
// the team now given), otherwise a new token. Fails only when the system's random source does.
Expected<PushRegistration> registrationAfterInstall(const std::optional<PushRegistration>& current,
                                                    const std::string& team);
// The registration uninstall leaves: `current` retired at `nowMs`, or as it was when it is retired
// already (the first retirement stands). None when there is no registration.
std::optional<PushRegistration> registrationAfterUninstall(
    const std::optional<PushRegistration>& current, std::int64_t nowMs);

// Writes `next` unless it equals `current`, so that commands that change nothing write nothing.
Expected<void> storeRegistration(const std::string& appPath,
                                 const std::optional<PushRegistration>& current,
                                 const PushRegistration& next);

// Adds "deviceToken" (null when there is none or it is retired) and, for a retired one,
// "deviceTokenRetiredAt" to `json`.
void addDeviceTokenFields(const std::optional<PushRegistration>& registration,
                          nlohmann::ordered_json& json);

// Milliseconds since the epoch, from the system clock.
std::int64_t millisecondsSinceEpoch();

}  // namespace quenlarch::badge_app
