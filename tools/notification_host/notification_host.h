// The host's front for incoming pushes, whatever they come from (payload files, the service's
// clients, a provider endpoint): it runs each push through the engine, makes the shown line
// (with the alert rendered from the app's strings tables, read once) and, when asked for desktop
// output, puts the shown push on the desktop through a presenter on the same loop, so that no push
// waits for the bus. No sockets here; the callers own those.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/push_content.h"
#include "tools/notification_host/desktop/desktop_presenter.h"
#include "tools/notification_host/engine/host_engine.h"
#include "tools/notification_host/host_options.h"
#include "tools/notification_host/push/push_gate.h"
#include "tools/notification_host/push/push_headers.h"
#include "tools/notification_host/rendering/localized_strings.h"
#include "tools/notification_host/shown_line.h"

namespace quenlarch::notification_host {

// A push as the host receives it, its payload already accepted (push_intake.h).
struct IncomingPush {
  std::string name;  // the payload file, "stdin line N", or what a client called it
  std::shared_ptr<const PushContent> content;
  Clock::time_point arrival = steadyClock().now();
  push::PushHeaders headers = {};          // the request's, with their defaults filled in
  std::vector<std::string> warnings = {};  // the intake's, for the shown line
};

class NotificationHost {
 public:
  // Receives the shown line (shownLine()) written as one JSON line, without a newline.
  using ShownLine = std::function<void(const std::string& line)>;

  // `engine`: none when the app has no extension that can run; every push is then shown as
  // received. `loop`: the engine's loop, which must outlive the host. `desktop`: also present each
  // shown push on the session bus's desktop; a notification the person opens is then reported to
  // `opened` as its event line (openedEventLine()). `maxLineBytes`: a shown line longer than this
  // is made from the content as received instead, so that a front with a line limit never has to
  // drop a push that was shown. `extensionFor`: which pushes are handed to the extension.
  NotificationHost(HostEngine* engine, sd_event* loop, const std::string& appPath, bool desktop,
                   ShownLine opened = {}, std::optional<std::size_t> maxLineBytes = std::nullopt,
                   ExtensionFor extensionFor = ExtensionFor::kMutable);

  // Shows `push`: `shown` gets its line once, on the loop's thread; at once when the push is not
  // handed to the extension (there is none, or the push does not ask for it). A push that shows
  // nothing is not put on the desktop. The device is connected: a push whose expiration has passed
  // is delivered all the same, as the push service delivers every push at least once.
  void receive(IncomingPush push, ShownLine shown) {
    receive(std::move(push), std::move(shown), engine_);
  }
  // The same through `engine` instead of the host's own: a fleet's devices share one host (their
  // apps are copies of one, so one strings table serves all) and each has its own engine.
  void receive(IncomingPush push, ShownLine shown, HostEngine* engine);

  // How long a host about to exit waits for the desktop.
  static constexpr std::chrono::seconds kDesktopFlushTime{2};

  // Calls `done` on the loop once what was put on the desktop has reached it, or `within` has
  // passed; at once without desktop output. For a host about to exit.
  void flush(std::chrono::microseconds within, std::function<void()> done);

 private:
  void show(const IncomingPush& push, const Shown& shown, const PushFacts& facts,
            const ShownLine& done);
  std::string boundedLine(const IncomingPush& push, const Shown& shown, const PushFacts& facts,
                          const RenderedAlert& alert) const;
  // Says once per host that the extension cannot count with its keychain, so that a badge that
  // stays null is never silent.
  void noteBadgeProblem(const Shown& shown);

  HostEngine* engine_;
  const LocalizedStrings strings_;
  const std::optional<std::size_t> maxLineBytes_;
  const ExtensionFor extensionFor_;
  std::optional<DesktopPresenter> desktop_;
  bool badgeProblemNoted_ = false;
};

}  // namespace quenlarch::notification_host
