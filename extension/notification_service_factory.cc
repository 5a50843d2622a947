// Principal-class factory for NotificationService.
#include "extension/notification_service_factory.h"

#include "extension/badge_pipeline.h"
#include "extension/notification_service.h"

namespace quenlarch {

std::unique_ptr<NotificationServiceExtension> makeNotificationService(
    const PlatformServices& platform) {
  static const HomeScreenBadgeEnvironment env(platform.mainBundle, platform.sha256);
  static BadgePipeline pipeline(platform.mainBundle,
                                CounterPlatform{platform.keychain, platform.sleeper, platform.random},
                                env);
  return std::make_unique<NotificationService>(pipeline);
}

}  // namespace quenlarch
