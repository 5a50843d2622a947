// The messages the desktop presenter puts on the session bus: the notification server's Notify and
// GetCapabilities calls, and the launcher entry's Update signal. Building them is kept apart from
// deciding when to send them.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tools/notification_host/desktop/desktop_app.h"

namespace quenlarch::notification_host::desktop_bus {

inline constexpr const char* kNotificationsName = "org.freedesktop.Notifications";
inline constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
inline constexpr const char* kBusName = "org.freedesktop.DBus";
inline constexpr const char* kBusPath = "/org/freedesktop/DBus";

// A notification ready for the bus: its text already bus text.
struct Outgoing {
  std::string summary;
  std::string body;
  std::uint8_t urgency = 1;
  bool sound = false;
  std::optional<std::string> collapseId;
  std::string apnsId;
};

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// A method call to `member` of `destination`'s interface of the same name; null without memory.
MessagePtr newCall(sd_bus* bus, const char* destination, const char* path, const char* member);

// Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout) for
// `notification`, replacing notification `replaces` (0: none), its body escaped when the server
// takes markup. Sets `result` to a negative errno when it could not be built.
MessagePtr notifyCall(sd_bus* bus, const DesktopApp& app, const Outgoing& notification,
                      std::uint32_t replaces, bool bodyMarkup, int& result);

// Queues the launcher entry's Update signal for `badge` (above 0 shows the count, else hides it);
// the result of sd_bus_emit_signal, or of encoding the path.
int emitLauncherUpdate(sd_bus* bus, const DesktopApp& app, std::int64_t badge);

// "name: message", as the bus gave the error.
std::string errorText(const sd_bus_error& error);

}  // namespace quenlarch::notification_host::desktop_bus
