// The presenter's session-bus connection: opened (again) with a back-off, its outgoing queue kept
// bounded, and the signals it carries besides notifications: the launcher entry's count going out,
// and the server's ActionInvoked and NotificationClosed and the bus's NameOwnerChanged coming in.
#include <time.h>

#include <cerrno>
#include <cstring>

#include "tools/notification_host/desktop/desktop_presenter.h"

namespace quenlarch::notification_host {

using namespace desktop_bus;

namespace {

// Only the notification server's name: the bus says when it gets or loses an owner.
constexpr const char* kServerOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.freedesktop.Notifications'";

}  // namespace

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
  // The bus handles each match before any call sent after it, so none of the server's answers can
  // overtake it.
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
  if (result >= 0) {
    result =
        sd_bus_add_match_async(bus, nullptr, kServerOwnerMatch, &onNameOwnerChanged, nullptr, this);
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
  overfull_ = false;
  // A new connection hears of the server's name afresh; what is held waits for the back-off.
  serverAbsent_ = false;
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

void DesktopPresenter::updateLauncher(std::int64_t badge) {
  if (!queueHasRoom()) return;
  const int result = emitLauncherUpdate(bus_, app_, badge);
  if (result == -ENOBUFS) {
    sendFailed(result, "");
  } else if (result < 0 && !std::exchange(launcherFailed_, true)) {
    sendFailed(result, "the launcher count");
  } else if (result >= 0) {
    launcherFailed_ = false;
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

void DesktopPresenter::nameOwnerChanged(sd_bus_message* signal) {
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  // Only the bus itself speaks for names; the match says so, this makes sure.
  const char* sender = sd_bus_message_get_sender(signal);
  if (sender == nullptr || std::strcmp(sender, kBusName) != 0 ||
      sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0 ||
      std::strcmp(name, kNotificationsName) != 0) {
    return;
  }
  if (newOwner[0] != '\0') {
    serverAppeared();
  } else {
    serverGone();
  }
}

int DesktopPresenter::onActionInvoked(sd_bus_message* signal, void* self, sd_bus_error*) {
  static_cast<DesktopPresenter*>(self)->actionInvoked(signal);
  return 0;
}

int DesktopPresenter::onNotificationClosed(sd_bus_message* signal, void* self, sd_bus_error*) {
  static_cast<DesktopPresenter*>(self)->notificationClosed(signal);
  return 0;
}

int DesktopPresenter::onNameOwnerChanged(sd_bus_message* signal, void* self, sd_bus_error*) {
  static_cast<DesktopPresenter*>(self)->nameOwnerChanged(signal);
  return 0;
}

}  // namespace quenlarch::notification_host
