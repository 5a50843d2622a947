// The deliver subcommand: payloads in, one shown line per accepted payload out.
#include "tools/notification_host/deliver_command.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <memory>
#include <variant>

#include "platform/mutex.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/alert_rendering.h"
#include "tools/notification_host/delivery_session.h"
#include "tools/notification_host/desktop_notice.h"
#include "tools/notification_host/desktop_presenter_thread.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/extension_locator.h"
#include "tools/notification_host/payload.h"
#include "tools/notification_host/payload_source.h"
#include "tools/notification_host/shown_line.h"

namespace quenlarch::notification_host {
namespace {

constexpr double kMaxSeconds = 86400;
constexpr long long kMaxMillis = 86'400'000;

std::optional<DeliverySession> startSession(const DeliverArgs& args, bool* extensionMissing) {
  auto located = locateServiceExtension(args.app);
  if (const auto* notFound = std::get_if<NotFound>(&located)) {
    note("no notification service extension to run in " + args.app + ": " + notFound->reason +
         "; showing every notification as received");
    *extensionMissing = true;
    return std::nullopt;
  }
  SessionOptions options;
  options.launch = ExtensionLaunch{std::get<std::string>(located), args.keychain};
  options.timeLimit = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(args.timeLimitSeconds));
  options.grace = std::chrono::milliseconds(args.graceMs);
  return std::optional<DeliverySession>(std::in_place, std::move(options));
}

// The content of `payload`, or none when it is refused (then reported).
std::shared_ptr<const PushContent> acceptedContent(const RawPayload& payload) {
  std::optional<std::string> refused = payload.refused;
  std::shared_ptr<const PushContent> content;
  if (!refused) {
    auto built = contentFromPayload(payload.bytes);
    if (const auto* refusal = std::get_if<Refusal>(&built)) {
      refused = refusal->reason;
    } else {
      content = std::get<std::shared_ptr<const PushContent>>(std::move(built));
    }
  }
  if (refused) note("refused " + payload.name + ": " + *refused);
  return content;
}

}  // namespace

int runDeliver(const DeliverArgs& args) {
  bool extensionMissing = false;
  std::optional<DeliverySession> session = startSession(args, &extensionMissing);

  const LocalizedStrings strings =
      loadLocalizedStrings(args.app, preferredLanguagesFromEnvironment());
  bool anyRefused = false;
  unsigned requestCount = 0;
  // The presenter's thread prints a line when a notification is opened.
  Mutex outputMutex;
  ShownLinePrinter printer;
  std::optional<DesktopPresenterThread> desktop;
  if (args.show == "desktop") {
    desktop.emplace(
        args.app, [](std::string_view message) { note(message); },
        [&](const std::string& apnsId) {
          MutexLock lock(outputMutex);
          printer.print(openedEventLine(apnsId));
        });
  }
  PayloadSource source(args.payloads);
  while (std::optional<RawPayload> payload = source.next()) {
    std::shared_ptr<const PushContent> content = acceptedContent(*payload);
    if (!content) {
      anyRefused = true;
      continue;
    }
    std::string id = std::to_string(++requestCount);
    Shown shown = session ? session->deliver(id, content) : Shown{content, false};
    {
      MutexLock lock(outputMutex);
      printer.print(shownLine(payload->name, shown, strings));
    }
    if (desktop) {
      desktop->present(
          desktopNotice(*shown.content, renderAlert(shown.content->userInfo(), strings)));
    }
  }
  if (session) session->finish();
  desktop.reset();  // waits, bounded, for the desktop to take what was presented

  if (!printer.finish()) {
    note("lost " + std::to_string(printer.lost()) + " of " + std::to_string(printer.printed()) +
         " shown lines writing standard output (" + printer.failure() +
         "); those notifications were delivered all the same");
  }
  bool startFailed = session && session->startFailed();
  bool failed = anyRefused || extensionMissing || startFailed || printer.lost() > 0;
  return failed ? tools::kExitFailed : tools::kExitOk;
}

CLI::Validator secondsValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        double seconds = 0;
        const char* end = text.data() + text.size();
        auto [rest, error] = std::from_chars(text.data(), end, seconds);
        if (error != std::errc() || rest != end || !std::isfinite(seconds) || seconds < 0 ||
            seconds > kMaxSeconds) {
          return "expects seconds as a number from 0 to 86400 (such as 2.5), not \"" +
                 tools::oneLine(text) + "\"";
        }
        return "";
      },
      "SECONDS");
}

CLI::Validator millisecondsValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        long long millis = 0;
        const char* end = text.data() + text.size();
        auto [rest, error] = std::from_chars(text.data(), end, millis);
        if (error != std::errc() || rest != end || millis < 0 || millis > kMaxMillis) {
          return "expects whole milliseconds from 0 to 86400000, not \"" + tools::oneLine(text) +
                 "\"";
        }
        return "";
      },
      "MILLISECONDS");
}

CLI::Validator nonEmptyPathValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return text.empty() ? "expects a path, not an empty string" : "";
      },
      "PATH");
}

void addShowOption(CLI::App& command, std::string& show) {
  command
      .add_option("--show", show,
                  "Where shown pushes go besides the JSON lines: json (nowhere else) or desktop "
                  "(notifications and the launcher badge on the session bus)")
      ->check(CLI::IsMember({"json", "desktop"}))
      ->capture_default_str();
}

void addDeliverCommand(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<DeliverArgs>();
  CLI::App* deliver = app.add_subcommand(
      "deliver", "Deliver push payloads through the app's notification service extension");
  deliver->add_option("--app", args->app, "The app bundle directory")
      ->required()
      ->check(nonEmptyPathValidator());
  deliver
      ->add_option("--time-limit", args->timeLimitSeconds,
                   "Seconds the extension has for each notification")
      ->check(secondsValidator())
      ->capture_default_str();
  deliver
      ->add_option("--grace-ms", args->graceMs,
                   "Milliseconds the extension has after being told its time will expire")
      ->check(millisecondsValidator())
      ->capture_default_str();
  deliver
      ->add_option("--keychain", args->keychain,
                   "Keychain store for the extension (its QUENLARCH_KEYCHAIN)")
      ->check(nonEmptyPathValidator());
  addShowOption(*deliver, args->show);
  deliver
      ->add_option("payloads", args->payloads,
                   "JSON payload files, in order; '-' reads one payload per line of stdin")
      ->required();
  deliver->callback([args, &exitCode] { exitCode = runDeliver(*args); });
}

}  // namespace quenlarch::notification_host
