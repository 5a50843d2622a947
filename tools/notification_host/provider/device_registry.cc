// The registration plist, read through libplist and re-read when its inode, size or time changes.
#include "tools/notification_host/provider/device_registry.h"

#include <algorithm>

#include "platform/linux/plist_file.h"

namespace quenlarch::notification_host::provider {
namespace {

bool isDeviceToken(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

std::string pushRegistrationPath(const std::string& appPath) {
  return appPath + "/Contents/PushRegistration.plist";
}

std::optional<DeviceRegistration> readPushRegistration(const std::string& path) {
  std::optional<PlistValue> plist = readPlistFile(path);
  if (!plist || !plist->isDictionary()) return std::nullopt;
  const PlistValue* token = plist->find("DeviceToken");
  const PlistValue* team = plist->find("TeamIdentifier");
  const PlistValue* retired = plist->find("RetiredAt");
  if (token == nullptr || !token->isString() || !isDeviceToken(*token->asString())) {
    return std::nullopt;
  }
  if (team == nullptr || !team->isString() || team->asString()->empty()) return std::nullopt;
  DeviceRegistration registration{*token->asString(), *team->asString(), std::nullopt};
  if (retired != nullptr) {
    registration.retiredAtMs = retired->asInt64();
    if (!registration.retiredAtMs) return std::nullopt;
  }
  return registration;
}

PlistDeviceRegistry::PlistDeviceRegistry(const std::string& appPath)
    : path_(pushRegistrationPath(appPath)) {}

std::optional<DeviceRegistration> PlistDeviceRegistry::current() {
  struct stat now {};
  if (::stat(path_.c_str(), &now) != 0) {
    readAt_.reset();
    registration_.reset();
    return std::nullopt;
  }
  if (!readAt_ || !sameFile(*readAt_, now)) {
    readAt_ = now;
    registration_ = readPushRegistration(path_);
  }
  return registration_;
}

}  // namespace quenlarch::notification_host::provider
