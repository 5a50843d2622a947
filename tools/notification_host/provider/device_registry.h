// The app's push registration as the provider endpoint needs it: the device token pushes must
// name, the team whose tokens may send them, and when the token was retired. badge-app keeps it in
// the app (platform/linux/push_registration.h, the one reader of that file). The endpoint reads it
// through DeviceRegistry, so that tests and other stores can stand in.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quenlarch::notification_host::provider {

struct DeviceRegistration {
  std::string deviceToken;
  std::string teamId;
  std::optional<std::int64_t> retiredAtMs;
};

// Called on the endpoint's event loop for every request.
class DeviceRegistry {
 public:
  virtual ~DeviceRegistry() = default;
  DeviceRegistry(const DeviceRegistry&) = delete;
  DeviceRegistry& operator=(const DeviceRegistry&) = delete;

  // The registration as it stands now; none when the app has none (never given a token, or the
  // record is unreadable or malformed: then no push can be addressed to it).
  virtual std::optional<DeviceRegistration> current() = 0;
  // The registration a push to `token` (lowercase) is checked against: its team speaks for the
  // push, and a deviceToken other than `token` makes it BadDeviceToken. One app's registry has one
  // registration whatever the token; a fleet's has one per device.
  virtual std::optional<DeviceRegistration> find(const std::string& token) {
    static_cast<void>(token);
    return current();
  }

 protected:
  DeviceRegistry() = default;
};

// The registration file of the app at `appPath`. It is read again whenever it changed (a stat per
// request), so a token retired while the service runs is answered as retired at once. A damaged
// file counts as no registration: no push can be addressed to it.
class PlistDeviceRegistry final : public DeviceRegistry {
 public:
  explicit PlistDeviceRegistry(const std::string& appPath);
  std::optional<DeviceRegistration> current() override;

 private:
  std::string appPath_;
  std::string path_;
  std::optional<struct stat> readAt_;  // the file as it was when `registration_` was read
  std::optional<DeviceRegistration> registration_;
};

}  // namespace quenlarch::notification_host::provider
