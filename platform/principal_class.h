// The principal class of an extension as the runtime holds it: made once per process from the
// platform services, it makes one principal object for each request in flight. Whatever the
// objects share (the content preparer, process-wide values) lives in the class object, which the
// runtime keeps for the life of the process.
#pragma once

#include <memory>

#include "platform/notification_service_extension.h"
#include "platform/platform_services.h"

namespace quenlarch {

// Thread safety: `makeObject` may be called from several threads at once; the objects it makes
// are used as NotificationServiceExtension allows.
class PrincipalClass {
 public:
  virtual ~PrincipalClass() = default;
  PrincipalClass(const PrincipalClass&) = delete;
  PrincipalClass& operator=(const PrincipalClass&) = delete;

  // A new principal object, never null. It must not outlive this class object.
  virtual std::unique_ptr<NotificationServiceExtension> makeObject() = 0;

 protected:
  PrincipalClass() = default;
};

// Makes the class object of one principal class; the services outlive it.
using PrincipalClassFactory = std::unique_ptr<PrincipalClass> (*)(const PlatformServices& platform);

}  // namespace quenlarch
