// How the service shows a push: the shown line with the alert rendered from the app's strings
// tables (loaded once, when the service starts), and with desktop output the same push on the
// desktop. The service's one presenter keeps its bus connection for the service's whole life, so
// that docks keep the launcher count (they drop it when its sender leaves the bus).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "tools/notification_host/delivery_session.h"
#include "tools/notification_host/desktop_presenter.h"
#include "tools/notification_host/localized_strings.h"

namespace quenlarch::notification_host {

// Thread-safe: every client thread shows its pushes through the same object. The presenter (one
// sd-bus connection) is used by one thread at a time.
class ServiceDisplay {
 public:
  // `desktop`: also present every shown push on the session bus's desktop.
  ServiceDisplay(const std::string& appPath, bool desktop);

  // The line to answer with for `shown`, after presenting it on the desktop when asked to.
  nlohmann::ordered_json show(const std::string& payloadName, const Shown& shown)
      EXCLUDES(desktopMutex_);

 private:
  const LocalizedStrings strings_;
  const bool desktopWanted_;
  Mutex desktopMutex_;
  std::optional<DesktopPresenter> desktop_ GUARDED_BY(desktopMutex_);
};

}  // namespace quenlarch::notification_host
