// The principal class NotificationService, wired to the badge pipeline over the platform services.
// The class object owns what every NotificationService shares: the pipeline and the install-tag
// environment it reads. The runtime makes one class object per process and keeps it.
#pragma once

#include <memory>

#include "platform/principal_class.h"

namespace quenlarch {

inline constexpr const char* kNotificationServiceClassName = "NotificationService";

std::unique_ptr<PrincipalClass> makeNotificationServiceClass(const PlatformServices& platform);

}  // namespace quenlarch
