// How the service shows a push: the shown line with the alert rendered from the app's strings
// tables (loaded once, when the service starts), and with desktop output the same push on the
// desktop. The service's one presenter keeps its bus connection for the service's whole life, so
// that docks keep the launcher count (they drop it when its sender leaves the bus); a notification
// the person opens is reported as one line on the service's standard output.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "tools/notification_host/delivery_session.h"
#include "tools/notification_host/desktop_presenter_thread.h"
#include "tools/notification_host/localized_strings.h"
#include "tools/notification_host/shown_line.h"

namespace quenlarch::notification_host {

// Thread-safe: every client thread shows its pushes through the same object, and none waits for
// the desktop.
class ServiceDisplay {
 public:
  // `desktop`: also present every shown push on the session bus's desktop.
  ServiceDisplay(const std::string& appPath, bool desktop);

  // The line to answer with for `shown`, after handing it to the desktop when asked to.
  nlohmann::ordered_json show(const std::string& payloadName, const Shown& shown);

 private:
  void printOpened(const std::string& apnsId) EXCLUDES(outputMutex_);

  const LocalizedStrings strings_;
  Mutex outputMutex_;
  ShownLinePrinter opened_ GUARDED_BY(outputMutex_);
  std::optional<DesktopPresenterThread> desktop_;  // set once, in the constructor
};

}  // namespace quenlarch::notification_host
