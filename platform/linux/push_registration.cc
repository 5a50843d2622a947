// The push registration file: its checks on reading and writing, and new tokens.
#include "platform/linux/push_registration.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/hex.h"
#include "platform/linux/file_io.h"
#include "platform/linux/plist_file.h"

namespace quenlarch {
namespace {

constexpr const char* kDeviceTokenKey = "DeviceToken";
constexpr const char* kTeamIdentifierKey = "TeamIdentifier";
constexpr const char* kRetiredAtKey = "RetiredAt";

// Why `registration` cannot be stored or believed; none when it has the file's form.
std::optional<std::string> defectOf(const PushRegistration& registration) {
  if (!isDeviceToken(registration.deviceToken)) {
    return std::string(kDeviceTokenKey) + " is not 64 lowercase hex digits";
  }
  if (!isTeamIdentifier(registration.teamIdentifier)) {
    return std::string(kTeamIdentifierKey) + " is not 1 to 32 letters or digits";
  }
  if (registration.retiredAt && *registration.retiredAt < 0) {
    return std::string(kRetiredAtKey) + " is before 1970";
  }
  return std::nullopt;
}

Expected<PushRegistration> registrationFromPlist(const PlistValue& document) {
  if (!document.isDictionaryWithStringKeys()) return unexpected("not a dictionary");
  PushRegistration registration;
  const PlistValue* token = document.find(kDeviceTokenKey);
  if (token == nullptr || !token->isString()) {
    return unexpected(std::string("no ") + kDeviceTokenKey + " string");
  }
  registration.deviceToken = *token->asString();
  const PlistValue* team = document.find(kTeamIdentifierKey);
  if (team == nullptr || !team->isString()) {
    return unexpected(std::string("no ") + kTeamIdentifierKey + " string");
  }
  registration.teamIdentifier = *team->asString();
  if (const PlistValue* retired = document.find(kRetiredAtKey); retired != nullptr) {
    registration.retiredAt = retired->asInt64();
    if (!registration.retiredAt) {
      return unexpected(std::string(kRetiredAtKey) + " is not an integer of milliseconds");
    }
  }
  if (std::optional<std::string> defect = defectOf(registration)) return unexpected(*defect);
  return registration;
}

}  // namespace

std::string pushRegistrationPath(const std::string& appPath) {
  return appPath + "/Contents/PushRegistration.plist";
}

bool isDeviceToken(std::string_view token) {
  return token.size() == 2 * kDeviceTokenBytes &&
         token.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool isTeamIdentifier(std::string_view team) {
  return !team.empty() && team.size() <= 32 &&
         team.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") ==
             std::string_view::npos;
}

Expected<std::optional<PushRegistration>> readPushRegistration(const std::string& appPath) {
  const std::string path = pushRegistrationPath(appPath);
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
    return std::optional<PushRegistration>();
  }
  Expected<PlistValue> document = loadPlistFile(path);
  if (!document) return unexpected(path + ": " + document.error());
  Expected<PushRegistration> registration = registrationFromPlist(*document);
  if (!registration) return unexpected(path + ": " + registration.error());
  return std::optional<PushRegistration>(std::move(*registration));
}

Expected<void> writePushRegistration(const std::string& appPath,
                                     const PushRegistration& registration) {
  const std::string path = pushRegistrationPath(appPath);
  if (std::optional<std::string> defect = defectOf(registration)) {
    return unexpected("refusing to write " + path + ": " + *defect);
  }
  PlistValue document;
  document.set(kDeviceTokenKey, PlistValue(registration.deviceToken));
  document.set(kTeamIdentifierKey, PlistValue(registration.teamIdentifier));
  if (registration.retiredAt) document.set(kRetiredAtKey, PlistValue(*registration.retiredAt));
  if (Expected<void> written = writeXmlPlistFile(path, document, kOwnerOnly); !written) {
    return unexpected(path + ": " + written.error());
  }
  return {};
}

Expected<std::string> newDeviceToken() {
  std::uint8_t bytes[kDeviceTokenBytes];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      return unexpected(std::string("the system's random source failed: ") + std::strerror(errno));
    }
    filled += static_cast<std::size_t>(n);
  }
  return hexEncode(bytes);
}

}  // namespace quenlarch
