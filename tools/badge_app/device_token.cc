// Device-token rules of install and uninstall.
#include "tools/badge_app/device_token.h"

#include <chrono>

namespace quenlarch::badge_app {

Expected<PushRegistration> registrationAfterInstall(const std::optional<PushRegistration>& current,
                                                    const std::string& team) {
  if (current && !current->isRetired()) {
    return PushRegistration{current->deviceToken, team, std::nullopt};
  }
  Expected<std::string> token = newDeviceToken();
  if (!token) return unexpected(token.error());
  return PushRegistration{std::move(*token), team, std::nullopt};
}

std::optional<PushRegistration> registrationAfterUninstall(
    const std::optional<PushRegistration>& current, std::int64_t nowMs) {
  if (!current || current->isRetired()) return current;
  PushRegistration retired = *current;
  retired.retiredAt = nowMs;
  return retired;
}

Expected<void> storeRegistration(const std::string& appPath,
                                 const std::optional<PushRegistration>& current,
                                 const PushRegistration& next) {
  if (current == next) return {};
  return writePushRegistration(appPath, next);
}

void addDeviceTokenFields(const std::optional<PushRegistration>& registration,
                          nlohmann::ordered_json& json) {
  const bool live = registration && !registration->isRetired();
  json["deviceToken"] = live ? nlohmann::ordered_json(registration->deviceToken) : nullptr;
  if (registration && registration->isRetired()) {
    json["deviceTokenRetiredAt"] = *registration->retiredAt;
  }
}

std::int64_t millisecondsSinceEpoch() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace quenlarch::badge_app
