// BadgeService: the notification service extension executable. Lives at
// <App>/Contents/PlugIns/BadgeService.appex/Contents/MacOS/BadgeService and is started by the
// notification host.
#include "extension/notification_service_factory.h"
#include "platform/linux/extension_main.h"

int main(int argc, char** argv) {
  quenlarch::registerPrincipalClass(quenlarch::kNotificationServiceClassName,
                                    &quenlarch::makeNotificationServiceClass);
  quenlarch::NSExtensionMain(argc, argv);
}
