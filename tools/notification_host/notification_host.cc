// NotificationHost: the push's name and content travel with the engine's callback, so that the
// line can be made when the push is shown, however long that takes.
#include "tools/notification_host/notification_host.h"

#include "tools/common/command_line.h"
#include "tools/notification_host/alert_rendering.h"
#include "tools/notification_host/desktop_notice.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/shown_line.h"

namespace quenlarch::notification_host {

NotificationHost::NotificationHost(HostEngine* engine, sd_event* loop, const std::string& appPath,
                                   bool desktop, ShownLine opened,
                                   std::optional<std::size_t> maxLineBytes)
    : engine_(engine),
      strings_(loadLocalizedStrings(appPath, preferredLanguagesFromEnvironment())),
      maxLineBytes_(maxLineBytes) {
  if (!desktop) return;
  desktop_.emplace(
      appPath, loop, [](std::string_view message) { note(message); },
      [opened = std::move(opened)](const std::string& apnsId) {
        if (opened) opened(tools::jsonLine(openedEventLine(apnsId)));
      });
}

void NotificationHost::receive(IncomingPush push, ShownLine shown) {
  if (engine_ == nullptr) return show(push, Shown{push.content, false}, shown);
  auto incoming = std::make_shared<const IncomingPush>(std::move(push));
  engine_->submit(
      incoming->content, incoming->arrival,
      [this, incoming, done = std::move(shown)](Shown result) { show(*incoming, result, done); });
}

void NotificationHost::show(const IncomingPush& push, const Shown& shown, const ShownLine& done) {
  const std::string line = boundedLine(push, shown);
  if (desktop_) {
    desktop_->present(
        desktopNotice(*shown.content, renderAlert(shown.content->userInfo(), strings_)));
  }
  done(line);
}

void NotificationHost::flush(std::chrono::microseconds within, std::function<void()> done) {
  if (!desktop_) return done();
  desktop_->flush(within, std::move(done));
}

std::string NotificationHost::boundedLine(const IncomingPush& push, const Shown& shown) const {
  // Written once: the size check and every front use the same text.
  std::string line = tools::jsonLine(shownLine(push.name, shown, strings_));
  if (!maxLineBytes_ || line.size() <= *maxLineBytes_) return line;
  note("the line for " + push.name + " would be longer than the " + std::to_string(*maxLineBytes_) +
       " bytes a line may have; showing it as received");
  nlohmann::ordered_json received = shownLine(push.name, Shown{push.content, false}, strings_);
  line = tools::jsonLine(received);
  // The content as received comes from a payload of at most 4 KiB; only its rendered alert can
  // still be long.
  if (line.size() > *maxLineBytes_) {
    received["alert"] = alertJson(RenderedAlert{});
    line = tools::jsonLine(received);
  }
  return line;
}

}  // namespace quenlarch::notification_host
