// NotificationHost: the push's name and content travel with the engine's callback, so that the
// line can be made when the push is shown, however long that takes.
#include "tools/notification_host/notification_host.h"

#include "platform/outcome_log.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/desktop/desktop_notice.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/rendering/alert_rendering.h"
#include "tools/notification_host/shown_line.h"

namespace quenlarch::notification_host {

NotificationHost::NotificationHost(HostEngine* engine, sd_event* loop, const std::string& appPath,
                                   bool desktop, ShownLine opened,
                                   std::optional<std::size_t> maxLineBytes,
                                   ExtensionFor extensionFor)
    : engine_(engine),
      strings_(loadLocalizedStrings(appPath, preferredLanguagesFromEnvironment())),
      maxLineBytes_(maxLineBytes),
      extensionFor_(extensionFor) {
  if (!desktop) return;
  desktop_.emplace(
      appPath, loop, [](std::string_view message) { note(message); },
      [opened = std::move(opened)](const std::string& apnsId) {
        if (opened) opened(tools::jsonLine(openedEventLine(apnsId)));
      });
}

void NotificationHost::receive(IncomingPush push, ShownLine shown, HostEngine* engine) {
  // A front that leaves the headers at their defaults still gets an id to report the push by.
  if (push.headers.apnsId.empty()) push.headers.apnsId = push::newApnsId();
  PushFacts facts{push.headers};
  facts.warnings = push.warnings;
  // Only alert pushes reach the extension, whatever --extension-for says: the others have a
  // handler of their own on a device, which shows nothing and counts nothing.
  if (std::optional<std::string_view> handler = push::handledBy(push.headers.pushType)) {
    facts.extension = ExtensionDecision::kNotForType;
    facts.handledBy = handler;
    facts.presented = false;
    return show(push, Shown{push.content, false}, facts, shown);
  }
  facts.extension = extensionDecision(push.content->userInfo(), extensionFor_);
  if (facts.extension == ExtensionDecision::kRan && engine == nullptr) {
    facts.extension = ExtensionDecision::kNoExtension;
  }
  if (facts.extension != ExtensionDecision::kRan) {
    return show(push, Shown{push.content, false}, facts, shown);
  }
  auto incoming = std::make_shared<const IncomingPush>(std::move(push));
  engine->submit(incoming->content, incoming->arrival,
                 [this, incoming, facts = std::move(facts), done = std::move(shown)](Shown result) {
                   show(*incoming, result, facts, done);
                 });
}

void NotificationHost::show(const IncomingPush& push, const Shown& shown, const PushFacts& given,
                            const ShownLine& done) {
  PushFacts facts = given;
  if (!facts.handledBy) {
    facts.presented = presentsAnything(shown.content->userInfo());
  }
  noteBadgeProblem(shown);
  // Rendered once, for the line and the desktop alike.
  const RenderedAlert alert = renderAlert(shown.content->userInfo(), strings_);
  const std::string line = boundedLine(push, shown, facts, alert);
  if (desktop_ && facts.presented) {
    DesktopNotice notice = desktopNotice(*shown.content, alert);
    notice.collapseId = push.headers.collapseId;
    notice.apnsId = push.headers.apnsId;
    desktop_->present(std::move(notice));
  }
  done(line);
}

void NotificationHost::noteBadgeProblem(const Shown& shown) {
  if (badgeProblemNoted_ || shown.log.empty()) return;
  const std::string& outcome = shown.log.back().badgeNote;
  for (BadgeOutcome problem : {BadgeOutcome::kKeychainUnusable, BadgeOutcome::kNoBadgeItem,
                               BadgeOutcome::kNoValidRecord, BadgeOutcome::kOtherInstallation}) {
    if (outcome != badgeNoteText(problem)) continue;
    badgeProblemNoted_ = true;
    note("the extension counts no badges: " + badgeNote(shown).value_or(outcome) +
         " (said once; each line's \"badgeNote\" tells its push)");
    return;
  }
}

void NotificationHost::flush(std::chrono::microseconds within, std::function<void()> done) {
  if (!desktop_) return done();
  desktop_->flush(within, std::move(done));
}

std::string NotificationHost::boundedLine(const IncomingPush& push, const Shown& shown,
                                          const PushFacts& facts,
                                          const RenderedAlert& alert) const {
  // Written once: the size check and every front use the same text.
  std::string line = tools::jsonLine(shownLine(push.name, shown, facts, alert));
  if (!maxLineBytes_ || line.size() <= *maxLineBytes_) return line;
  note("the line for " + push.name + " would be longer than the " + std::to_string(*maxLineBytes_) +
       " bytes a line may have; showing it as received");
  // Other content than the one shown, so its alert is its own.
  nlohmann::ordered_json received =
      shownLine(push.name, Shown{push.content, false, shown.log}, facts,
                renderAlert(push.content->userInfo(), strings_));
  line = tools::jsonLine(received);
  // The content as received comes from a payload of at most 5 KiB; only its rendered alert can
  // still be long.
  if (line.size() > *maxLineBytes_) {
    received["alert"] = alertJson(RenderedAlert{});
    line = tools::jsonLine(received);
  }
  return line;
}

}  // namespace quenlarch::notification_host
