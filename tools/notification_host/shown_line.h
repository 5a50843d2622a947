// What notification-host shows: one JSON line per shown notification on stdout, built from the
// content that was shown and by whom, and written so that a line lost on the way is counted.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/notification_host/engine/engine_types.h"
#include "tools/notification_host/push/push_gate.h"
#include "tools/notification_host/push/push_headers.h"
#include "tools/notification_host/rendering/alert_rendering.h"

namespace quenlarch::notification_host {

// What the host knows of a push besides the content it showed.
struct PushFacts {
  push::PushHeaders headers;
  ExtensionDecision extension = ExtensionDecision::kRan;
  bool presented = true;  // a person sees something: an alert, a sound or a badge
  // Who received a push of a type that never reaches the extension (push::handledBy): nothing was
  // run, counted or shown, so the line carries no alert, badge or displayed fields.
  std::optional<std::string_view> handledBy = std::nullopt;
  std::vector<std::string> warnings = {};  // what the intake took but the platform may not deliver
};

// How the push's badge work ended, from the last entry of its log ("counted", "keychain unusable:
// DETAIL", ...); none when nothing was said.
std::optional<std::string> badgeNote(const Shown& shown);

// The line for a shown notification: payload name, the request's headers, who showed it (or which
// handler received it), whether the extension ran (or why not), whether a person sees anything,
// the intake's warnings, the badge and how its work
// ended, `alert` (the shown content's alert, rendered once for the line and the desktop), the
// payload, then the displayed fields spread in (absent ones omitted).
nlohmann::ordered_json shownLine(const std::string& payloadName, const Shown& shown,
                                 const PushFacts& facts, const RenderedAlert& alert);

// The line for a push the service took and will never deliver (the device was away): the push's
// name and headers, and `dropped`, why. Nothing was run, counted or shown.
nlohmann::ordered_json droppedLine(const std::string& payloadName, const push::PushHeaders& headers,
                                   std::string_view why);

// Writes shown lines to stdout, each flushed at once so that a reader sees every notification as
// it is shown. Once a write fails, that line and every later one count as lost: the notifications
// were shown (and counted) all the same, so the loss can only be reported.
class ShownLinePrinter {
 public:
  // Prints `line`, one JSON line without its newline.
  void print(std::string_view line);
  // Flushes stdout; true when every line printed so far reached it.
  bool finish();

  std::size_t printed() const { return printed_; }
  std::size_t lost() const { return lost_; }
  // The error of the first failed write ("No space left on device"); empty while none failed.
  const std::string& failure() const { return failure_; }

 private:
  void markLost(std::size_t lines);

  std::size_t printed_ = 0;
  std::size_t lost_ = 0;
  std::string failure_;
};

}  // namespace quenlarch::notification_host
