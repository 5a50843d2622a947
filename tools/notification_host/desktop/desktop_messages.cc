// Notify calls and launcher signals, built with sd-bus's message API.
#include "tools/notification_host/desktop/desktop_messages.h"

#include <cerrno>
#include <cstdlib>

#include "tools/notification_host/desktop/bus_text.h"

namespace quenlarch::notification_host::desktop_bus {
namespace {

constexpr const char* kLauncherInterface = "com.canonical.Unity.LauncherEntry";
constexpr const char* kLauncherPathPrefix = "/com/canonical/unity/launcherentry";
// The hints every notification of a messaging app carries.
constexpr const char* kCategory = "im.received";
constexpr const char* kSoundName = "message-new-instant";

}  // namespace

MessagePtr newCall(sd_bus* bus, const char* destination, const char* path, const char* member) {
  sd_bus_message* message = nullptr;
  if (sd_bus_message_new_method_call(bus, &message, destination, path, destination, member) < 0) {
    return nullptr;
  }
  return MessagePtr(message);
}

MessagePtr notifyCall(sd_bus* bus, const DesktopApp& app, const Outgoing& notification,
                      std::uint32_t replaces, bool bodyMarkup, int& result) {
  const std::string body = bodyMarkup ? escapeMarkup(notification.body) : notification.body;
  MessagePtr call = newCall(bus, kNotificationsName, kNotificationsPath, "Notify");
  result = call ? 0 : -ENOMEM;
  if (result >= 0) {
    result =
        sd_bus_message_append(call.get(), "susssas", app.name.c_str(), replaces, app.icon.c_str(),
                              notification.summary.c_str(), body.c_str(), 2u, "default", "Open");
  }
  if (result >= 0) result = sd_bus_message_open_container(call.get(), 'a', "{sv}");
  if (result >= 0) {
    result = sd_bus_message_append(call.get(), "{sv}{sv}{sv}", "desktop-entry", "s",
                                   app.desktopEntry.c_str(), "urgency", "y", notification.urgency,
                                   "category", "s", kCategory);
  }
  if (result >= 0 && notification.sound) {
    result = sd_bus_message_append(call.get(), "{sv}", "sound-name", "s", kSoundName);
  }
  if (result >= 0) result = sd_bus_message_close_container(call.get());
  if (result >= 0) result = sd_bus_message_append(call.get(), "i", std::int32_t{-1});
  return result >= 0 ? std::move(call) : nullptr;
}

int emitLauncherUpdate(sd_bus* bus, const DesktopApp& app, std::int64_t badge) {
  char* path = nullptr;
  const int encoded = sd_bus_path_encode(kLauncherPathPrefix, app.desktopEntry.c_str(), &path);
  if (encoded < 0) return encoded;
  std::unique_ptr<char, decltype(&free)> pathGuard(path, &free);
  const std::string appUri = "application://" + app.desktopEntry + ".desktop";
  const int visible = badge > 0 ? 1 : 0;
  const std::int64_t count = badge > 0 ? badge : 0;
  return sd_bus_emit_signal(bus, path, kLauncherInterface, "Update", "sa{sv}", appUri.c_str(), 2u,
                            "count", "x", count, "count-visible", "b", visible);
}

std::string errorText(const sd_bus_error& error) {
  std::string text = error.name != nullptr ? error.name : "unknown error";
  if (error.message != nullptr && error.message[0] != '\0')
    text += std::string(": ") + error.message;
  return text;
}

}  // namespace quenlarch::notification_host::desktop_bus
