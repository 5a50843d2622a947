// notification-host: the operating system's side of push delivery, for Linux. Validates push
// payloads, hands each to the app's notification service extension and prints what would be shown.
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/notification_host/console.h"
#include "tools/notification_host/delivery_session.h"
#include "tools/notification_host/extension_locator.h"
#include "tools/notification_host/payload.h"
#include "tools/notification_host/payload_source.h"
#include "tools/notification_host/service/send_command.h"
#include "tools/notification_host/service/serve_command.h"

namespace quenlarch::notification_host {
namespace {

struct DeliverArgs {
  std::string app;
  double timeLimitSeconds = 30;
  int graceMs = 1000;
  std::optional<std::string> keychain;
  std::vector<std::string> payloads;
};

int runDeliver(const DeliverArgs& args) {
  std::optional<DeliverySession> session;
  bool extensionMissing = false;
  auto located = locateServiceExtension(args.app);
  if (const auto* notFound = std::get_if<NotFound>(&located)) {
    note("no notification service extension to run in " + args.app + ": " + notFound->reason +
         "; showing every notification as received");
    extensionMissing = true;
  } else {
    SessionOptions options;
    options.launch = ExtensionLaunch{std::get<std::string>(located), args.keychain};
    options.timeLimit = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(args.timeLimitSeconds));
    options.grace = std::chrono::milliseconds(args.graceMs);
    session.emplace(std::move(options));
  }

  bool anyRefused = false;
  unsigned requestCount = 0;
  PayloadSource source(args.payloads);
  while (std::optional<RawPayload> payload = source.next()) {
    std::optional<std::string> refused = payload->refused;
    std::shared_ptr<const PushContent> content;
    if (!refused) {
      auto built = contentFromPayload(payload->bytes);
      if (const auto* refusal = std::get_if<Refusal>(&built)) {
        refused = refusal->reason;
      } else {
        content = std::get<std::shared_ptr<const PushContent>>(std::move(built));
      }
    }
    if (refused) {
      note("refused " + payload->name + ": " + *refused);
      anyRefused = true;
      continue;
    }
    std::string id = std::to_string(++requestCount);
    Shown shown = session ? session->deliver(id, content) : Shown{content, false};
    printLine(shownLine(payload->name, shown));
  }
  if (session) session->finish();

  bool startFailed = session && session->startFailed();
  return anyRefused || extensionMissing || startFailed ? kExitFailed : kExitOk;
}

void addDeliverCommand(CLI::App& app, DeliverArgs& args, int& exitCode) {
  CLI::App* deliver = app.add_subcommand(
      "deliver", "Deliver push payloads through the app's notification service extension");
  deliver->add_option("--app", args.app, "The app bundle directory")->required();
  deliver
      ->add_option("--time-limit", args.timeLimitSeconds,
                   "Seconds the extension has for each notification")
      ->check(CLI::Range(0.0, 86400.0))
      ->capture_default_str();
  deliver
      ->add_option("--grace-ms", args.graceMs,
                   "Milliseconds the extension has after being told its time will expire")
      ->check(CLI::Range(0, 86'400'000))
      ->capture_default_str();
  deliver->add_option("--keychain", args.keychain,
                      "Keychain store for the extension (its QUENLARCH_KEYCHAIN)");
  deliver
      ->add_option("payloads", args.payloads,
                   "JSON payload files, in order; '-' reads one payload per line of stdin")
      ->required();
  deliver->callback([&args, &exitCode] { exitCode = runDeliver(args); });
}

}  // namespace
}  // namespace quenlarch::notification_host

int main(int argc, char** argv) {
  using namespace quenlarch::notification_host;
  // An extension that dies mid-conversation must cost one notification, not the host.
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"notification-host: the system's side of push notifications, for Linux"};
  app.require_subcommand(1);
  DeliverArgs args;
  int exitCode = kExitOk;
  addDeliverCommand(app, args, exitCode);
  addServeCommand(app, exitCode);
  addSendCommand(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  return exitCode;
}
