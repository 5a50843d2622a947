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
// one line saying so). A failing server or bus is tried again, waiting longer after each failure
// (up to a minute), so one failure does not end desktop output for the host's life. While the
// server is waited for, the newest notifications are held and sent, in order, when the wait ends;
// the presenter watches the server's bus name, so a server that (re)appears ends the wait at once.
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

#include "tools/notification_host/desktop/desktop_app.h"
#include "tools/notification_host/desktop/desktop_messages.h"
#include "tools/notification_host/desktop/desktop_notice.h"
#include "tools/notification_host/desktop/held_notifications.h"
#include "tools/notification_host/desktop/recent_map.h"
#include "tools/notification_host/desktop/retry_backoff.h"
#include "tools/notification_host/engine/event_loop.h"

namespace quenlarch::notification_host {

// Limits of a presenter; the defaults suit a person's desktop, tests shorten the waits.
struct DesktopOptions {
  // How long the notification server has to answer each call.
  std::chrono::microseconds callTimeout = std::chrono::seconds(5);
  // Notifications sent and not yet answered, or waiting to be sent; more are not shown.
  std::size_t maxWaiting = 64;
  // Notifications held while the server is waited for (the newest; older ones are dropped). Below
  // maxWaiting, so that pushes right after the wait are not refused while the held ones are sent.
  std::size_t maxHeld = 32;
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
  // line saying what was left). Notifications held for a server that is not there are not waited
  // for: the line that said the server failed said they are held. The presenter must outlive the
  // call of `done`, and `done` must not destroy it. For a host about to exit.
  void flush(std::chrono::microseconds within, std::function<void()> done);

 private:
  using Outgoing = desktop_bus::Outgoing;
  struct Call;  // a Notify call waiting for its answer
  enum class Capabilities { kUnknown, kAsking, kKnown };

  // The connection and what it carries besides notifications (desktop_connection.cc).
  std::uint64_t now() const;
  // True when there is an open connection, opening (again) one if the back-off allows.
  bool busUsable();
  std::string openBus();  // the reason when it failed, else empty
  void closeBus();
  // True when the bus's outgoing queue takes another message; else counts `what` as not sent.
  bool queueHasRoom();
  void sendFailed(int result, std::string_view what);
  void updateLauncher(std::int64_t badge);
  void actionInvoked(sd_bus_message* signal);
  void notificationClosed(sd_bus_message* signal);
  void nameOwnerChanged(sd_bus_message* signal);
  static int onActionInvoked(sd_bus_message* signal, void* self, sd_bus_error* error);
  static int onNotificationClosed(sd_bus_message* signal, void* self, sd_bus_error* error);
  static int onNameOwnerChanged(sd_bus_message* signal, void* self, sd_bus_error* error);

  // Notifications to the server (desktop_presenter.cc).
  void notify(Outgoing notification);
  void deliver(Outgoing notification);  // to the server now, or once its capabilities are known
  void askCapabilities();
  void send(Outgoing notification);
  std::size_t waiting() const;
  void capabilitiesAnswered(sd_bus_message* reply);
  void notifyAnswered(const Call& call, sd_bus_message* reply);
  static int onCapabilities(sd_bus_message* reply, void* self, sd_bus_error* error);
  static int onNotifyReply(sd_bus_message* reply, void* call, sd_bus_error* error);
  static void deleteCall(void* call);

  // The server's failures and the wait for it (desktop_server_wait.cc).
  bool waitingForServer() const;
  void hold(Outgoing notification);
  void armRetry();  // for the end of the back-off's wait, while notifications are held for it
  void releaseHeld();
  void serverFailed(const sd_bus_error& error);
  void serverGone();
  void reportServerProblem(const std::string& kind, const std::string& message);
  void serverAnswered();
  void serverAppeared();
  void retryTimeReached();

  // Waiting for everything presented before the host exits (desktop_flush.cc).
  bool idle() const;
  void finishFlushIfIdle();
  void finishFlush();
  void flushDeadlineReached();
  static int onBarrier(sd_bus_message* reply, void* self, sd_bus_error* error);

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
  std::optional<std::int64_t> launcherCount_;  // the last badge presented

  // Held while the server is waited for: until the back-off's wait ends, or while nobody owns its
  // name, until somebody does.
  HeldNotifications heldForServer_;
  bool serverAbsent_ = false;         // nobody owns the server's name, as far as the bus said
  std::size_t droppedForServer_ = 0;  // held ones dropped for newer ones in this failing spell
  EventSource retryTimer_;            // the end of the back-off's wait

  std::string reportedServerError_;  // the kind of server problem last reported
  bool stalled_ = false;             // the bus's outgoing queue was full
  std::size_t notSent_ = 0;          // pushes not sent since it was
  bool overfull_ = false;            // maxWaiting was reached since the server last answered
  bool launcherFailed_ = false;

  std::function<void()> flushDone_;
  EventSource flushDeadline_;
  bool barrierWaiting_ = false;  // the call that follows everything presented is unanswered
};

}  // namespace quenlarch::notification_host
