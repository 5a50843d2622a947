// Shows pushes to the person at a Linux desktop, through the session bus's standard interfaces:
// each alert becomes an org.freedesktop.Notifications notification (with urgency, sound, category,
// replacement by collapse id and a default action that reports the notification opened), and each
// badge goes to the app's launcher entry (docks and task managers) as a
// com.canonical.Unity.LauncherEntry Update signal. Used by notification-host for every shown push
// when asked for desktop output.
//
// The presenter lives on the host's sd-event loop and never waits for the bus: calls are
// asynchronous with a time-out, signals are queued for the loop to write, and what may pile up
// behind a slow server or a bus that stops reading is bounded (beyond it pushes are not shown, with
// one line saying so). A failing server or bus is tried again on later pushes, waiting longer after
// each failure (up to a minute), so one failure does not end desktop output for the host's life.
//
// Not thread-safe: it is used on its loop's thread only, and its handlers run there too.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "tools/notification_host/desktop/desktop_notice.h"
#include "tools/notification_host/desktop/recent_map.h"
#include "tools/notification_host/desktop/retry_backoff.h"
#include "tools/notification_host/rendering/alert_rendering.h"

namespace quenlarch::notification_host {

// How the desktop knows the app, from its Info.plist.
struct DesktopApp {
  std::string name;          // CFBundleDisplayName, else CFBundleName, else the bundle's file name
  std::string icon;          // file:// URI of CFBundleIconFile in Contents/Resources, else
                             // CFBundleIconName as an icon-theme name, else empty
  std::string desktopEntry;  // CFBundleIdentifier, else the bundle's file name: the .desktop id
};

DesktopApp desktopAppFromBundle(const std::string& appPath);

// The notification's summary and body for `alert`: the title (the app's name when there is none)
// and the subtitle and body on lines of their own. None when the alert has no text at all.
struct NotificationText {
  std::string summary;
  std::string body;
};
std::optional<NotificationText> notificationText(const RenderedAlert& alert, const DesktopApp& app);

// Limits of a presenter; the defaults suit a person's desktop, tests shorten the waits.
struct DesktopOptions {
  // How long the notification server has to answer each call.
  std::chrono::microseconds callTimeout = std::chrono::seconds(5);
  // Notifications sent and not yet answered, or waiting to be sent; more are not shown.
  std::size_t maxWaiting = 64;
  // Messages waiting for a bus that does not read them; more are not sent.
  std::size_t maxQueued = 256;
  // After a failure the next attempt waits this long, doubling with each failure up to lastRetry.
  std::chrono::microseconds firstRetry = std::chrono::seconds(1);
  std::chrono::microseconds lastRetry = std::chrono::seconds(60);
  // Collapse ids, and notifications that can be reported opened, remembered (the most recent).
  std::size_t rememberedIds = 1024;
};

class DesktopPresenter {
 public:
  // Receives each problem worth telling the person about, and its end, once, as one line.
  using Diagnostics = std::function<void(std::string_view message)>;
  // Receives the apns id of a notification the person opened (its default action).
  using OpenedHandler = std::function<void(const std::string& apnsId)>;

  // Connects to the session bus and attaches the connection to `loop`, which must outlive the
  // presenter. Without a bus, says so once and tries again on later pushes.
  DesktopPresenter(const std::string& appPath, sd_event* loop, Diagnostics diagnostics,
                   OpenedHandler onOpened, DesktopOptions options = {});
  // Drops whatever has not reached the bus yet; flush() first to wait for it.
  ~DesktopPresenter();
  DesktopPresenter(const DesktopPresenter&) = delete;
  DesktopPresenter& operator=(const DesktopPresenter&) = delete;

  // Shows `notice` as a notification (when its alert has text) and sets the launcher count from
  // its badge: above 0 shows it, 0 (or less) hides it, none leaves it as it is. Returns at once;
  // never fails visibly. Not to be called from inside the diagnostics or opened handlers.
  void present(const DesktopNotice& notice);

  // Calls `done` (on the loop, or at once when there is nothing to wait for) once everything
  // presented has been written to the bus and answered, or when `within` has passed (then with a
  // line saying what was left). The presenter must outlive the call of `done`, and `done` must not
  // destroy it. For a host about to exit.
  void flush(std::chrono::microseconds within, std::function<void()> done);

 private:
  // A notification ready for the bus.
  struct Outgoing {
    std::string summary;
    std::string body;
    std::uint8_t urgency = 1;
    bool sound = false;
    std::optional<std::string> collapseId;
    std::string apnsId;
  };
  struct Call;  // a Notify call waiting for its answer
  enum class Capabilities { kUnknown, kAsking, kKnown };

  std::uint64_t now() const;
  // True when there is an open connection, opening (again) one if the back-off allows.
  bool busUsable();
  std::string openBus();  // the reason when it failed, else empty
  void closeBus();
  // True when the bus's outgoing queue takes another message; else counts `what` as not sent.
  bool queueHasRoom();
  void sendFailed(int result, std::string_view what);

  void notify(Outgoing notification);
  void askCapabilities();
  void send(Outgoing notification);
  std::size_t waiting() const;
  void updateLauncher(std::int64_t badge);

  void capabilitiesAnswered(sd_bus_message* reply);
  void notifyAnswered(const Call& call, sd_bus_message* reply);
  void serverFailed(const sd_bus_error& error);
  void serverAnswered();
  void actionInvoked(sd_bus_message* signal);
  void notificationClosed(sd_bus_message* signal);

  bool idle() const;
  void finishFlushIfIdle();
  void finishFlush();

  static int onCapabilities(sd_bus_message* reply, void* self, sd_bus_error* error);
  static int onNotifyReply(sd_bus_message* reply, void* call, sd_bus_error* error);
  static void deleteCall(void* call);
  static int onBarrier(sd_bus_message* reply, void* self, sd_bus_error* error);
  static int onActionInvoked(sd_bus_message* signal, void* self, sd_bus_error* error);
  static int onNotificationClosed(sd_bus_message* signal, void* self, sd_bus_error* error);
  static int onFlushDeadline(sd_event_source* source, std::uint64_t usec, void* self);

  DesktopApp app_;  // as bus text
  sd_event* loop_;
  Diagnostics diagnostics_;
  OpenedHandler onOpened_;
  DesktopOptions options_;
  sd_bus* bus_ = nullptr;
  RetryBackoff busRetry_;
  RetryBackoff serverRetry_;

  Capabilities capabilities_ = Capabilities::kUnknown;
  bool bodyMarkup_ = false;
  std::deque<Outgoing> held_;    // waiting for the capabilities
  std::size_t notifyCalls_ = 0;  // Notify calls waiting for an answer
  // Collapse ids with a Notify call waiting for its answer, each with the notification that is to
  // replace it once the answer gives its id.
  std::map<std::string, std::optional<Outgoing>> collapsing_;
  RecentMap<std::string, std::uint32_t> collapseIds_;  // collapse id -> notification id
  RecentMap<std::uint32_t, std::string> shownIds_;     // notification id -> apns id
  std::string server_;  // the unique bus name of the server that answered last

  std::string reportedServerError_;  // the error name last reported for the server
  bool stalled_ = false;             // the bus's outgoing queue was full
  std::size_t notSent_ = 0;          // pushes not sent since it was
  bool overfull_ = false;            // maxWaiting was reached
  bool launcherFailed_ = false;

  std::function<void()> flushDone_;
  sd_event_source* flushDeadline_ = nullptr;
  bool barrierWaiting_ = false;  // the call that follows everything presented is unanswered
};

}  // namespace quenlarch::notification_host
