// An installation's registration for pushes: the device token the push service addresses it by,
// kept in the app bundle as Contents/PushRegistration.plist. badge-app install and uninstall write
// it; badge-app status and the push service read it. This is the one reader and writer of that
// file, so both sides agree on its form:
//
//   key             type     value
//   DeviceToken     string   64 lowercase hex digits: 32 bytes from the system's random source
//   TeamIdentifier  string   the signing team the token was issued for, 1 to 32 letters or digits
//   RetiredAt       integer  milliseconds since 1970-01-01T00:00:00Z; present only once retired
//
// The file is an XML property list, owner-only (0600), replaced with the durable atomic write of
// file_io.h. Other keys are ignored on reading. A retired token stays in the file so that the push
// service can still tell a retired token from one it never issued.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"

namespace quenlarch {

inline constexpr std::size_t kDeviceTokenBytes = 32;

struct PushRegistration {
  std::string deviceToken;
  std::string teamIdentifier;
  std::optional<std::int64_t> retiredAt;  // milliseconds since the epoch

  bool isRetired() const { return retiredAt.has_value(); }
  friend bool operator==(const PushRegistration&, const PushRegistration&) = default;
};

// <appPath>/Contents/PushRegistration.plist
std::string pushRegistrationPath(const std::string& appPath);

// Whether `token` has the form of a device token: exactly 64 lowercase hex digits.
bool isDeviceToken(std::string_view token);
// Whether `team` has the form of a team identifier: 1 to 32 ASCII letters or digits.
bool isTeamIdentifier(std::string_view team);

// The app's registration; none when it has no registration file. Fails, with a reason that names
// the file, when the file cannot be read or does not have the form above (a damaged file is never
// taken for "no registration").
Expected<std::optional<PushRegistration>> readPushRegistration(const std::string& appPath);

// Replaces the app's registration file. REQUIRES: the token and team have their forms and
// retiredAt, when present, is not negative; otherwise nothing is written and the reason says which.
Expected<void> writePushRegistration(const std::string& appPath,
                                     const PushRegistration& registration);

// A new device token: 32 bytes from the system's random source (getrandom), as lowercase hex.
Expected<std::string> newDeviceToken();

}  // namespace quenlarch
