// Creates the extension's principal class, NotificationService, wired to the badge pipeline over
// the platform services. The pipeline and its install-tag environment are process-wide: built on
// the first call and kept for the life of the process.
#pragma once

#include <memory>

#include "platform/notification_service_extension.h"
#include "platform/platform_services.h"

namespace quenlarch {

inline constexpr const char* kNotificationServiceClassName = "NotificationService";

std::unique_ptr<NotificationServiceExtension> makeNotificationService(
    const PlatformServices& platform);

}  // namespace quenlarch
