// The registration file, read through platform/linux/push_registration.h and read again when its
// inode, size or time changes.
#include "tools/notification_host/provider/device_registry.h"

#include "platform/linux/push_registration.h"

namespace quenlarch::notification_host::provider {
namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

std::optional<DeviceRegistration> readRegistration(const std::string& appPath) {
  Expected<std::optional<PushRegistration>> read = readPushRegistration(appPath);
  if (!read || !*read) return std::nullopt;
  const PushRegistration& registration = **read;
  return DeviceRegistration{registration.deviceToken, registration.teamIdentifier,
                            registration.retiredAt};
}

}  // namespace

PlistDeviceRegistry::PlistDeviceRegistry(const std::string& appPath)
    : appPath_(appPath), path_(pushRegistrationPath(appPath)) {}

std::optional<DeviceRegistration> PlistDeviceRegistry::current() {
  struct stat now {};
  if (::stat(path_.c_str(), &now) != 0) {
    readAt_.reset();
    registration_.reset();
    return std::nullopt;
  }
  if (!readAt_ || !sameFile(*readAt_, now)) {
    readAt_ = now;
    registration_ = readRegistration(appPath_);
  }
  return registration_;
}

}  // namespace quenlarch::notification_host::provider
