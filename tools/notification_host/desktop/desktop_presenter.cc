// Notifications to the server: the capabilities asked once per server, each Notify sent
// asynchronously with its answer giving the id a collapsed push replaces and the one an opened
// notification reports. The connection is in desktop_connection.cc, the waits for a failing server
// in desktop_server_wait.cc, the bounded wait before exit in desktop_flush.cc.
#include "tools/notification_host/desktop/desktop_presenter.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/notification_host/desktop/bus_text.h"

namespace quenlarch::notification_host {

using namespace desktop_bus;

namespace {

std::uint64_t microseconds(std::chrono::microseconds duration) {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(0, duration.count()));
}

}  // namespace

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
      shownIds_(options.rememberedIds),
      heldForServer_(options.maxHeld) {
  app_.name = busText(app_.name);
  app_.icon = busText(app_.icon);
  app_.desktopEntry = busText(app_.desktopEntry);
  // Without these timers (no memory) held notifications wait for a push or the server's name,
  // and flush() does not wait.
  if (auto timer = EventSource::timer(
          loop_, [this] { retryTimeReached(); }, "desktop server retry")) {
    retryTimer_ = std::move(*timer);
  }
  if (auto timer = EventSource::timer(
          loop_, [this] { flushDeadlineReached(); }, "desktop flush deadline")) {
    flushDeadline_ = std::move(*timer);
  }
  busUsable();
}

// The bus first: its calls' contexts point here, and it frees them without calling them back.
DesktopPresenter::~DesktopPresenter() { closeBus(); }

void DesktopPresenter::present(const DesktopNotice& notice) {
  std::optional<NotificationText> text = notificationText(notice.alert, app_);
  if (!text && !notice.badge) return;
  if (notice.badge) launcherCount_ = *notice.badge;
  if (!busUsable()) return;
  if (text) {
    notify({busText(text->summary), busText(text->body), urgencyFor(notice.interruptionLevel),
            notice.sound, notice.collapseId, notice.apnsId});
  }
  if (notice.badge) updateLauncher(*notice.badge);
}

std::size_t DesktopPresenter::waiting() const {
  std::size_t queued = 0;
  for (const auto& [id, next] : collapsing_) queued += next ? 1u : 0u;
  return notifyCalls_ + held_.size() + queued;
}

void DesktopPresenter::notify(Outgoing notification) {
  if (waitingForServer()) return hold(std::move(notification));
  // Those held go first, when the wait ended before its timer ran.
  releaseHeld();
  deliver(std::move(notification));
}

void DesktopPresenter::deliver(Outgoing notification) {
  if (waiting() >= options_.maxWaiting) {
    if (!std::exchange(overfull_, true)) {
      diagnostics_(std::to_string(waiting()) +
                   " notifications are waiting for the notification server; further ones are "
                   "not shown until it answers");
    }
    return;
  }
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
  int result = 0;
  MessagePtr call = notifyCall(bus_, app_, notification, replaces, bodyMarkup_, result);
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
    // The one that was to replace it waits with the others, when there is a wait.
    if (next) notify(std::move(*next));
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

}  // namespace quenlarch::notification_host
