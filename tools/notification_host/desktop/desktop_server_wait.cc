// A failing notification server: what is said about it, and the notifications that arrive while it
// is waited for. A server that answers with an error or not at all is tried again after the
// back-off's wait; one whose name has no owner is waited for until the bus says the name has one
// (NameOwnerChanged), as no attempt could reach it before. Either way the newest notifications are
// held meanwhile and sent, in the order they came, when the wait ends.
#include <string>

#include "tools/notification_host/desktop/desktop_presenter.h"

namespace quenlarch::notification_host {

using namespace desktop_bus;

namespace {

constexpr const char* kAbsent = "absent";  // the report kind of every way of having no server

std::string secondsText(std::chrono::microseconds duration) {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  if (millis % 1000 == 0) return std::to_string(millis / 1000) + " s";
  return std::to_string(millis) + " ms";
}

}  // namespace

bool DesktopPresenter::waitingForServer() const {
  return serverAbsent_ || !serverRetry_.allows(now());
}

void DesktopPresenter::hold(Outgoing notification) {
  // One line per failing spell is enough; a server that left is remarked on only once it costs a
  // notification, so that a restart between pushes goes unremarked.
  if (serverAbsent_ && reportedServerError_.empty()) {
    reportServerProblem(kAbsent,
                        "no notification server on the session bus (its owner left); "
                        "notifications are held until one appears");
  }
  if (heldForServer_.hold(std::move(notification)) && droppedForServer_++ == 0) {
    diagnostics_("the newest " + std::to_string(options_.maxHeld) +
                 " notifications are held for the notification server; older ones are dropped");
  }
  armRetry();
}

void DesktopPresenter::armRetry() {
  // Nothing to wake up for while nobody owns the name: its owner's arrival ends that wait.
  if (!retryTimer_ || serverAbsent_ || heldForServer_.empty()) return;
  retryTimer_.armAt(Clock::time_point(std::chrono::microseconds(serverRetry_.retryAt())));
}

void DesktopPresenter::releaseHeld() {
  for (auto held = heldForServer_.take(); !held.empty(); held.pop_front()) {
    deliver(std::move(held.front()));
  }
}

void DesktopPresenter::retryTimeReached() {
  if (heldForServer_.empty()) return;
  if (waitingForServer()) return armRetry();
  if (busUsable()) releaseHeld();
}

void DesktopPresenter::serverFailed(const sd_bus_error& error) {
  serverRetry_.failed(now());
  const bool absent = sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                      sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
  serverAbsent_ = serverAbsent_ || absent;
  const std::string cause = "(" + errorText(error) + ")";
  const std::string name = error.name != nullptr ? error.name : "";
  const char* again = "; notifications are held and tried again after a pause";
  if (absent) {
    reportServerProblem(kAbsent, "no notification server on the session bus " + cause +
                                     "; notifications are held until one appears");
  } else if (sd_bus_error_has_name(&error, SD_BUS_ERROR_NO_REPLY)) {
    reportServerProblem(name, "the notification server did not answer within " +
                                  secondsText(options_.callTimeout) + " " + cause + again);
  } else {
    reportServerProblem(name, "the notification server refused a notification " + cause + again);
  }
  // Those waiting for the capabilities never reached a server: held before any that came later.
  std::deque<Outgoing> later = heldForServer_.take();
  for (std::deque<Outgoing>* queue : {&held_, &later}) {
    for (; !queue->empty(); queue->pop_front()) hold(std::move(queue->front()));
  }
}

void DesktopPresenter::serverGone() {
  serverAbsent_ = true;
  serverRetry_.failed(now());
}

void DesktopPresenter::reportServerProblem(const std::string& kind, const std::string& message) {
  if (std::exchange(reportedServerError_, kind) != kind) diagnostics_(message);
}

void DesktopPresenter::serverAnswered() {
  serverAbsent_ = false;
  overfull_ = false;
  const bool reported = !reportedServerError_.empty();
  reportedServerError_.clear();
  const std::size_t dropped = std::exchange(droppedForServer_, 0);
  if (!serverRetry_.succeeded() || !reported) return;
  std::string line = "the notification server answers again; pushes are shown as notifications";
  if (dropped > 0) line += " (" + std::to_string(dropped) + " held ones dropped meanwhile)";
  diagnostics_(line);
}

void DesktopPresenter::serverAppeared() {
  serverAbsent_ = false;
  serverRetry_.startOver();
  if (retryTimer_) retryTimer_.disarm();
  // Perhaps another server than the one asked before.
  if (capabilities_ == Capabilities::kKnown) capabilities_ = Capabilities::kUnknown;
  if (!busUsable()) return;
  // A server that starts with the session may come with a new launcher too.
  if (launcherCount_) updateLauncher(*launcherCount_);
  releaseHeld();
}

}  // namespace quenlarch::notification_host
