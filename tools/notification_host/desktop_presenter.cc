// Desktop output over sd-bus: Notify calls to the notification server and LauncherEntry signals.
#include "tools/notification_host/desktop_presenter.h"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/linux/disk_bundle.h"

namespace quenlarch::notification_host {
namespace {

constexpr const char* kNotificationsName = "org.freedesktop.Notifications";
constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
constexpr const char* kLauncherInterface = "com.canonical.Unity.LauncherEntry";
constexpr const char* kLauncherPathPrefix = "/com/canonical/unity/launcherentry";
// Long enough for the bus to start a notification server on first use, short enough that a stuck
// one costs the run little (after one failure no further notification is attempted).
constexpr std::uint64_t kCallTimeoutMicroseconds = 10'000'000;

std::optional<std::string> infoString(const DiskBundle& bundle, std::string_view key) {
  std::optional<PlistValue> value = bundle.objectForInfoDictionaryKey(key);
  if (!value || !value->isString() || value->asString()->empty()) return std::nullopt;
  return *value->asString();
}

// Servers that take markup in the body read "&", "<" and ">" as markup.
std::string escapeMarkup(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

std::string busError(const sd_bus_error& error, int result) {
  if (error.message != nullptr) return error.message;
  return std::strerror(result < 0 ? -result : result);
}

struct BusErrorFree {
  void operator()(sd_bus_error* error) const { sd_bus_error_free(error); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

}  // namespace

DesktopApp desktopAppFromBundle(const std::string& appPath) {
  std::unique_ptr<DiskBundle> bundle = DiskBundle::open(appPath);
  const std::filesystem::path path(bundle->bundleURL());
  const std::string stem = path.stem().string();
  DesktopApp app;
  app.name = infoString(*bundle, "CFBundleDisplayName")
                 .value_or(infoString(*bundle, "CFBundleName").value_or(stem));
  app.desktopEntry = infoString(*bundle, "CFBundleIdentifier").value_or(stem);
  if (std::optional<std::string> file = infoString(*bundle, "CFBundleIconFile")) {
    std::filesystem::path icon = path / "Contents" / "Resources" / *file;
    if (!icon.has_extension()) icon += ".png";
    std::error_code ec;
    if (std::filesystem::is_regular_file(icon, ec)) app.icon = "file://" + icon.string();
  }
  if (app.icon.empty()) app.icon = infoString(*bundle, "CFBundleIconName").value_or("");
  return app;
}

std::optional<NotificationText> notificationText(const RenderedAlert& alert,
                                                 const DesktopApp& app) {
  if (!alert.title && !alert.subtitle && !alert.body) return std::nullopt;
  NotificationText text;
  text.summary = alert.title.value_or(app.name);
  for (const std::optional<std::string>& line : {alert.subtitle, alert.body}) {
    if (!line) continue;
    if (!text.body.empty()) text.body += '\n';
    text.body += *line;
  }
  return text;
}

DesktopPresenter::DesktopPresenter(const std::string& appPath, Diagnostics diagnostics)
    : app_(desktopAppFromBundle(appPath)), diagnostics_(std::move(diagnostics)) {
  int result = sd_bus_open_user(&bus_);
  if (result < 0) {
    bus_ = nullptr;
    diagnostics_(std::string("no session bus (") + std::strerror(-result) +
                 "); pushes are not shown on the desktop");
    return;
  }
  sd_bus_set_method_call_timeout(bus_, kCallTimeoutMicroseconds);
}

DesktopPresenter::~DesktopPresenter() {
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

void DesktopPresenter::present(const NotificationContent& shown, const RenderedAlert& alert) {
  if (bus_ == nullptr) return;
  if (std::optional<NotificationText> text = notificationText(alert, app_)) notify(*text);
  if (std::optional<std::int64_t> badge = shown.badge()) updateLauncher(*badge);
}

bool DesktopPresenter::serverTakesMarkup() {
  if (bodyMarkup_) return *bodyMarkup_;
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  std::unique_ptr<sd_bus_error, BusErrorFree> errorGuard(&error);
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kNotificationsName, kNotificationsPath, kNotificationsName,
                                  "GetCapabilities", &error, &reply, "");
  MessagePtr replyGuard(reply);
  if (result < 0) {
    notificationsFailed_ = true;
    diagnostics_("no notification server on the session bus (" + busError(error, result) +
                 "); pushes are not shown as notifications");
    return false;
  }
  char** capabilities = nullptr;
  bodyMarkup_ = false;
  if (sd_bus_message_read_strv(reply, &capabilities) >= 0 && capabilities != nullptr) {
    for (char** c = capabilities; *c != nullptr; ++c) {
      if (std::strcmp(*c, "body-markup") == 0) bodyMarkup_ = true;
      free(*c);
    }
    free(capabilities);
  }
  return *bodyMarkup_;
}

void DesktopPresenter::notify(const NotificationText& text) {
  if (notificationsFailed_) return;
  const bool markup = serverTakesMarkup();
  if (notificationsFailed_) return;
  const std::string body = markup ? escapeMarkup(text.body) : text.body;
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  std::unique_ptr<sd_bus_error, BusErrorFree> errorGuard(&error);
  sd_bus_message* reply = nullptr;
  // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout)
  int result = sd_bus_call_method(
      bus_, kNotificationsName, kNotificationsPath, kNotificationsName, "Notify", &error, &reply,
      "susssasa{sv}i", app_.name.c_str(), std::uint32_t{0}, app_.icon.c_str(), text.summary.c_str(),
      body.c_str(), 0u, 1u, "desktop-entry", "s", app_.desktopEntry.c_str(), std::int32_t{-1});
  MessagePtr replyGuard(reply);
  if (result < 0) {
    notificationsFailed_ = true;
    diagnostics_("the notification server refused a notification (" + busError(error, result) +
                 "); pushes are no longer shown as notifications");
  }
}

void DesktopPresenter::updateLauncher(std::int64_t badge) {
  char* path = nullptr;
  if (sd_bus_path_encode(kLauncherPathPrefix, app_.desktopEntry.c_str(), &path) < 0) return;
  std::unique_ptr<char, decltype(&free)> pathGuard(path, &free);
  const std::string appUri = "application://" + app_.desktopEntry + ".desktop";
  const int visible = badge > 0 ? 1 : 0;
  const std::int64_t count = badge > 0 ? badge : 0;
  int result =
      sd_bus_emit_signal(bus_, path, kLauncherInterface, "Update", "sa{sv}", appUri.c_str(), 2u,
                         "count", "x", count, "count-visible", "b", visible);
  if (result >= 0) result = sd_bus_flush(bus_);
  if (result < 0 && !launcherFailed_) {
    launcherFailed_ = true;
    diagnostics_(std::string("could not send the launcher count (") + std::strerror(-result) + ")");
  }
}

}  // namespace quenlarch::notification_host
