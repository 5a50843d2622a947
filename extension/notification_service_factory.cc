// The NotificationService class object: one pipeline and environment, shared by every object.
#include "extension/notification_service_factory.h"

#include "badge/badge_environment.h"
#include "extension/badge_pipeline.h"
#include "extension/notification_service.h"

namespace quenlarch {
namespace {

class NotificationServiceClass final : public PrincipalClass {
 public:
  explicit NotificationServiceClass(const PlatformServices& platform)
      : env_(platform.mainBundle, platform.sha256),
        pipeline_(platform.mainBundle,
                  CounterPlatform{platform.keychain, platform.sleeper, platform.random}, env_,
                  platform.outcomeLog) {}

  std::unique_ptr<NotificationServiceExtension> makeObject() override {
    return std::make_unique<NotificationService>(pipeline_);
  }

 private:
  const HomeScreenBadgeEnvironment env_;
  BadgePipeline pipeline_;  // refers to env_, so declared after it
};

}  // namespace

std::unique_ptr<PrincipalClass> makeNotificationServiceClass(const PlatformServices& platform) {
  return std::make_unique<NotificationServiceClass>(platform);
}

}  // namespace quenlarch
