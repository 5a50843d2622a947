// Desktop output over sd-bus: asynchronous Notify calls to the notification server, LauncherEntry
// signals, and the server's ActionInvoked and NotificationClosed signals, all on the host's loop.
#include "tools/notification_host/desktop/desktop_presenter.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/linux/disk_bundle.h"
#include "tools/notification_host/desktop/bus_text.h"

namespace quenlarch::notification_host {
namespace {

constexpr const char* kNotificationsName = "org.freedesktop.Notifications";
constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
constexpr const char* kLauncherInterface = "com.canonical.Unity.LauncherEntry";
constexpr const char* kLauncherPathPrefix = "/com/canonical/unity/launcherentry";
constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
// The hints every notification of a messaging app carries.
constexpr const char* kCategory = "im.received";
constexpr const char* kSoundName = "message-new-instant";

std::optional<std::string> infoString(const DiskBundle& bundle, std::string_view key) {
  std::optional<PlistValue> value = bundle.objectForInfoDictionaryKey(key);
  if (!value || !value->isString() || value->asString()->empty()) return std::nullopt;
  return *value->asString();
}

std::uint64_t microseconds(std::chrono::microseconds duration) {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(0, duration.count()));
}

std::string secondsText(std::chrono::microseconds duration) {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  if (millis % 1000 == 0) return std::to_string(millis / 1000) + " s";
  return std::to_string(millis) + " ms";
}

// "name: message", as the bus gave the error.
std::string errorText(const sd_bus_error& error) {
  std::string text = error.name != nullptr ? error.name : "unknown error";
  if (error.message != nullptr && error.message[0] != '\0')
    text += std::string(": ") + error.message;
  return text;
}

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

MessagePtr newCall(sd_bus* bus, const char* destination, const char* path, const char* member) {
  sd_bus_message* message = nullptr;
  if (sd_bus_message_new_method_call(bus, &message, destination, path, destination, member) < 0) {
    return nullptr;
  }
  return MessagePtr(message);
}

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

struct DesktopPresenter::Call {
  DesktopPresenter* presenter;
  std::optional<std::string> collapseId;
  std::string apnsId;
};

DesktopPresenter::DesktopPresenter(const std::string& appPath, sd_event* loop,
                                   Diagnostics diagnostics, OpenedHandler onOpened,
                                   DesktopOptions options)
    : app_(desktopAppFromBundle(appPath)),
      loop_(loop),
      diagnostics_(std::move(diagnostics)),
      onOpened_(std::move(onOpened)),
      options_(options),
      busRetry_(microseconds(options.firstRetry), microseconds(options.lastRetry)),
      serverRetry_(microseconds(options.firstRetry), microseconds(options.lastRetry)),
      collapseIds_(options.rememberedIds),
      shownIds_(options.rememberedIds) {
  app_.name = busText(app_.name);
  app_.icon = busText(app_.icon);
  app_.desktopEntry = busText(app_.desktopEntry);
  busUsable();
}

DesktopPresenter::~DesktopPresenter() {
  if (flushDeadline_ != nullptr) sd_event_source_disable_unref(flushDeadline_);
  closeBus();
}

std::uint64_t DesktopPresenter::now() const {
  std::uint64_t usec = 0;
  sd_event_now(loop_, CLOCK_MONOTONIC, &usec);
  return usec;
}

bool DesktopPresenter::busUsable() {
  if (bus_ != nullptr && sd_bus_is_open(bus_) > 0) return true;
  if (bus_ != nullptr) {
    closeBus();
    diagnostics_("the session bus closed the connection; connecting again");
  }
  const std::uint64_t at = now();
  if (!busRetry_.allows(at)) return false;
  const std::string failure = openBus();
  if (!failure.empty()) {
    if (busRetry_.failed(at)) {
      diagnostics_("no session bus (" + failure +
                   "); pushes are not shown on the desktop until it can be reached");
    }
    return false;
  }
  if (busRetry_.succeeded()) diagnostics_("connected to the session bus; pushes are shown again");
  return true;
}

std::string DesktopPresenter::openBus() {
  sd_bus* bus = nullptr;
  int result = sd_bus_open_user(&bus);
  if (result < 0) return std::strerror(-result);
  // Leaving the loop must not wait for a bus that does not read: what is unsent then is dropped
  // (flush() is the bounded way to wait for it).
  if (result >= 0) result = sd_bus_set_close_on_exit(bus, 0);
  if (result >= 0) result = sd_bus_attach_event(bus, loop_, SD_EVENT_PRIORITY_NORMAL);
  // Asked without waiting; signals that arrive before the match is in place are of no interest.
  if (result >= 0) {
    result = sd_bus_match_signal_async(bus, nullptr, kNotificationsName, kNotificationsPath,
                                       kNotificationsName, "ActionInvoked", &onActionInvoked,
                                       nullptr, this);
  }
  if (result >= 0) {
    result = sd_bus_match_signal_async(bus, nullptr, kNotificationsName, kNotificationsPath,
                                       kNotificationsName, "NotificationClosed",
                                       &onNotificationClosed, nullptr, this);
  }
  if (result < 0) {
    sd_bus_close_unref(bus);
    return std::strerror(-result);
  }
  bus_ = bus;
  return "";
}

void DesktopPresenter::closeBus() {
  if (bus_ == nullptr) return;
  // Frees the calls waiting for answers without calling them back.
  sd_bus_close_unref(std::exchange(bus_, nullptr));
  capabilities_ = Capabilities::kUnknown;
  held_.clear();
  notifyCalls_ = 0;
  collapsing_.clear();
  server_.clear();
  barrierWaiting_ = false;
}

void DesktopPresenter::present(const DesktopNotice& notice) {
  std::optional<NotificationText> text = notificationText(notice.alert, app_);
  if (!text && !notice.badge) return;
  if (!busUsable()) return;
  if (text) {
    notify({busText(text->summary), busText(text->body), urgencyFor(notice.interruptionLevel),
            notice.sound, notice.collapseId, notice.apnsId});
  }
  if (notice.badge) updateLauncher(*notice.badge);
}

bool DesktopPresenter::queueHasRoom() {
  std::uint64_t queued = 0;
  sd_bus_get_n_queued_write(bus_, &queued);
  if (queued < options_.maxQueued) {
    if (std::exchange(stalled_, false)) {
      diagnostics_("the session bus takes messages again (" + std::to_string(notSent_) +
                   " not sent meanwhile)");
    }
    return true;
  }
  sendFailed(-ENOBUFS, "");
  return false;
}

void DesktopPresenter::sendFailed(int result, std::string_view what) {
  if (result != -ENOBUFS) {
    diagnostics_("could not send " + std::string(what) + " (" + std::strerror(-result) + ")");
    return;
  }
  ++notSent_;
  if (stalled_) return;
  stalled_ = true;
  notSent_ = 1;
  std::uint64_t queued = 0;
  sd_bus_get_n_queued_write(bus_, &queued);
  diagnostics_("the session bus does not read what is sent to it (" + std::to_string(queued) +
               " messages waiting); pushes are not shown on the desktop until it does");
}

std::size_t DesktopPresenter::waiting() const {
  std::size_t queued = 0;
  for (const auto& [id, next] : collapsing_) queued += next ? 1u : 0u;
  return notifyCalls_ + held_.size() + queued;
}

void DesktopPresenter::notify(Outgoing notification) {
  if (!serverRetry_.allows(now())) return;
  if (waiting() >= options_.maxWaiting) {
    if (!std::exchange(overfull_, true)) {
      diagnostics_(std::to_string(waiting()) +
                   " notifications are waiting for the notification server; further ones are "
                   "not shown until it answers");
    }
    return;
  }
  overfull_ = false;
  if (capabilities_ == Capabilities::kKnown) return send(std::move(notification));
  held_.push_back(std::move(notification));
  if (capabilities_ == Capabilities::kUnknown) askCapabilities();
}

void DesktopPresenter::askCapabilities() {
  MessagePtr call = newCall(bus_, kNotificationsName, kNotificationsPath, "GetCapabilities");
  int result = call ? 0 : -ENOMEM;
  if (result >= 0 && !queueHasRoom()) result = -ENOBUFS;
  if (result >= 0) {
    result = sd_bus_call_async(bus_, nullptr, call.get(), &onCapabilities, this,
                               microseconds(options_.callTimeout));
    if (result == -ENOBUFS) sendFailed(result, "");
  }
  if (result < 0) {
    if (result != -ENOBUFS) sendFailed(result, "a notification");
    held_.clear();
    return;
  }
  capabilities_ = Capabilities::kAsking;
}

void DesktopPresenter::send(Outgoing notification) {
  if (notification.collapseId) {
    auto [earlier, fresh] = collapsing_.try_emplace(*notification.collapseId);
    if (!fresh) {
      // Sent once the earlier one's answer gives the id to replace; one waiting there replaced.
      earlier->second = std::move(notification);
      return;
    }
  }
  std::uint32_t replaces = 0;
  if (notification.collapseId) {
    if (const std::uint32_t* id = collapseIds_.find(*notification.collapseId)) replaces = *id;
  }
  const std::string body = bodyMarkup_ ? escapeMarkup(notification.body) : notification.body;
  MessagePtr call = newCall(bus_, kNotificationsName, kNotificationsPath, "Notify");
  // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout)
  int result = call ? 0 : -ENOMEM;
  if (result >= 0) {
    result =
        sd_bus_message_append(call.get(), "susssas", app_.name.c_str(), replaces, app_.icon.c_str(),
                              notification.summary.c_str(), body.c_str(), 2u, "default", "Open");
  }
  if (result >= 0) result = sd_bus_message_open_container(call.get(), 'a', "{sv}");
  if (result >= 0) {
    result = sd_bus_message_append(call.get(), "{sv}{sv}{sv}", "desktop-entry", "s",
                                   app_.desktopEntry.c_str(), "urgency", "y", notification.urgency,
                                   "category", "s", kCategory);
  }
  if (result >= 0 && notification.sound) {
    result = sd_bus_message_append(call.get(), "{sv}", "sound-name", "s", kSoundName);
  }
  if (result >= 0) result = sd_bus_message_close_container(call.get());
  if (result >= 0) result = sd_bus_message_append(call.get(), "i", std::int32_t{-1});
  if (result >= 0 && !queueHasRoom()) result = -ENOBUFS;
  sd_bus_slot* slot = nullptr;
  auto context = std::make_unique<Call>(Call{this, notification.collapseId, notification.apnsId});
  if (result >= 0) {
    result = sd_bus_call_async(bus_, &slot, call.get(), &onNotifyReply, context.get(),
                               microseconds(options_.callTimeout));
    if (result == -ENOBUFS) sendFailed(result, "");
  } else if (result != -ENOBUFS) {
    sendFailed(result, "a notification");
  }
  if (result < 0) {
    if (notification.collapseId) collapsing_.erase(*notification.collapseId);
    return;
  }
  // The bus owns the call from here: it frees the context once the answer is handled, or unanswered
  // when the connection goes.
  sd_bus_slot_set_destroy_callback(slot, &deleteCall);
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
  context.release();
  ++notifyCalls_;
}

void DesktopPresenter::updateLauncher(std::int64_t badge) {
  char* path = nullptr;
  if (sd_bus_path_encode(kLauncherPathPrefix, app_.desktopEntry.c_str(), &path) < 0) return;
  std::unique_ptr<char, decltype(&free)> pathGuard(path, &free);
  if (!queueHasRoom()) return;
  const std::string appUri = "application://" + app_.desktopEntry + ".desktop";
  const int visible = badge > 0 ? 1 : 0;
  const std::int64_t count = badge > 0 ? badge : 0;
  int result =
      sd_bus_emit_signal(bus_, path, kLauncherInterface, "Update", "sa{sv}", appUri.c_str(), 2u,
                         "count", "x", count, "count-visible", "b", visible);
  if (result == -ENOBUFS) {
    sendFailed(result, "");
  } else if (result < 0 && !std::exchange(launcherFailed_, true)) {
    sendFailed(result, "the launcher count");
  } else if (result >= 0) {
    launcherFailed_ = false;
  }
}

void DesktopPresenter::capabilitiesAnswered(sd_bus_message* reply) {
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    capabilities_ = Capabilities::kUnknown;
    serverFailed(*error);
    return;
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
  capabilities_ = Capabilities::kKnown;
  serverAnswered();
  for (std::deque<Outgoing> held = std::exchange(held_, {}); !held.empty(); held.pop_front()) {
    send(std::move(held.front()));
  }
}

void DesktopPresenter::notifyAnswered(const Call& call, sd_bus_message* reply) {
  --notifyCalls_;
  std::optional<Outgoing> next;
  if (call.collapseId) {
    auto waitingHere = collapsing_.find(*call.collapseId);
    if (waitingHere != collapsing_.end()) {
      next = std::move(waitingHere->second);
      collapsing_.erase(waitingHere);
    }
  }
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    serverFailed(*error);
    return;
  }
  std::uint32_t id = 0;
  if (sd_bus_message_read(reply, "u", &id) >= 0 && id != 0) {
    if (call.collapseId) collapseIds_.put(*call.collapseId, id);
    shownIds_.put(id, call.apnsId);
  }
  if (const char* sender = sd_bus_message_get_sender(reply)) server_ = sender;
  serverAnswered();
  if (next) send(std::move(*next));
}

void DesktopPresenter::serverFailed(const sd_bus_error& error) {
  held_.clear();
  serverRetry_.failed(now());
  const std::string name = error.name != nullptr ? error.name : "";
  if (std::exchange(reportedServerError_, name) == name) return;
  const std::string cause = "(" + errorText(error) + ")";
  const char* again = "; notifications are tried again on later pushes";
  if (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
      sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    diagnostics_("no notification server on the session bus " + cause + again);
  } else if (sd_bus_error_has_name(&error, SD_BUS_ERROR_NO_REPLY)) {
    diagnostics_("the notification server did not answer within " +
                 secondsText(options_.callTimeout) + " " + cause + again);
  } else {
    diagnostics_("the notification server refused a notification " + cause + again);
  }
}

void DesktopPresenter::serverAnswered() {
  reportedServerError_.clear();
  if (serverRetry_.succeeded()) {
    diagnostics_("the notification server answers again; pushes are shown as notifications");
  }
}

void DesktopPresenter::actionInvoked(sd_bus_message* signal) {
  std::uint32_t id = 0;
  const char* action = nullptr;
  const char* sender = sd_bus_message_get_sender(signal);
  if (sender == nullptr || server_ != sender ||
      sd_bus_message_read(signal, "us", &id, &action) < 0 || std::strcmp(action, "default") != 0) {
    return;
  }
  if (const std::string* apnsId = shownIds_.find(id)) onOpened_(std::string(*apnsId));
}

void DesktopPresenter::notificationClosed(sd_bus_message* signal) {
  std::uint32_t id = 0;
  const char* sender = sd_bus_message_get_sender(signal);
  if (sender != nullptr && server_ == sender && sd_bus_message_read(signal, "u", &id) >= 0) {
    shownIds_.erase(id);
  }
}

void DesktopPresenter::flush(std::chrono::microseconds within, std::function<void()> done) {
  if (bus_ == nullptr || sd_bus_is_open(bus_) <= 0) return done();
  flushDone_ = std::move(done);
  // The bus answers this after it has read everything sent before it, so its answer also means
  // the signals before it are written. It is not held back by a full queue: it is the last one.
  MessagePtr call = newCall(bus_, kBusName, kBusPath, "GetId");
  barrierWaiting_ = call && sd_bus_call_async(bus_, nullptr, call.get(), &onBarrier, this, 0) >= 0;
  if (flushDeadline_ != nullptr) sd_event_source_disable_unref(flushDeadline_);
  flushDeadline_ = nullptr;
  sd_event_add_time_relative(loop_, &flushDeadline_, CLOCK_MONOTONIC, microseconds(within), 0,
                             &onFlushDeadline, this);
  finishFlushIfIdle();
}

bool DesktopPresenter::idle() const {
  return !barrierWaiting_ && notifyCalls_ == 0 && capabilities_ != Capabilities::kAsking &&
         held_.empty();
}

void DesktopPresenter::finishFlushIfIdle() {
  if (flushDone_ && idle()) finishFlush();
}

void DesktopPresenter::finishFlush() {
  if (flushDeadline_ != nullptr) sd_event_source_disable_unref(flushDeadline_);
  flushDeadline_ = nullptr;
  if (std::function<void()> done = std::exchange(flushDone_, {})) done();
}

int DesktopPresenter::onCapabilities(sd_bus_message* reply, void* self, sd_bus_error*) {
  auto* presenter = static_cast<DesktopPresenter*>(self);
  presenter->capabilitiesAnswered(reply);
  presenter->finishFlushIfIdle();
  return 0;
}

int DesktopPresenter::onNotifyReply(sd_bus_message* reply, void* call, sd_bus_error*) {
  const auto* context = static_cast<const Call*>(call);
  context->presenter->notifyAnswered(*context, reply);
  context->presenter->finishFlushIfIdle();
  return 0;
}

void DesktopPresenter::deleteCall(void* call) { delete static_cast<Call*>(call); }

int DesktopPresenter::onBarrier(sd_bus_message*, void* self, sd_bus_error*) {
  auto* presenter = static_cast<DesktopPresenter*>(self);
  presenter->barrierWaiting_ = false;
  presenter->finishFlushIfIdle();
  return 0;
}

int DesktopPresenter::onActionInvoked(sd_bus_message* signal, void* self, sd_bus_error*) {
  static_cast<DesktopPresenter*>(self)->actionInvoked(signal);
  return 0;
}

int DesktopPresenter::onNotificationClosed(sd_bus_message* signal, void* self, sd_bus_error*) {
  static_cast<DesktopPresenter*>(self)->notificationClosed(signal);
  return 0;
}

int DesktopPresenter::onFlushDeadline(sd_event_source*, std::uint64_t, void* self) {
  auto* presenter = static_cast<DesktopPresenter*>(self);
  std::uint64_t queued = 0;
  if (presenter->bus_ != nullptr) sd_bus_get_n_queued_write(presenter->bus_, &queued);
  presenter->diagnostics_(
      "stopped waiting for the desktop: " + std::to_string(presenter->waiting()) +
      " notifications unanswered, " + std::to_string(queued) + " messages unwritten");
  presenter->finishFlush();
  return 0;
}

}  // namespace quenlarch::notification_host
