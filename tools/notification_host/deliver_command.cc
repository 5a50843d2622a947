// The deliver subcommand: the service's engine with one request at a time and no idle stop, on an
// event loop of its own. Payloads are read in order, each handed in once the previous one's line is
// out, so the lines come in payload order.
#include "tools/notification_host/deliver_command.h"

#include <memory>
#include <variant>

#include "tools/common/command_line.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/engine/host_engine.h"
#include "tools/notification_host/extension_locator.h"
#include "tools/notification_host/notification_host.h"
#include "tools/notification_host/push/payload_source.h"
#include "tools/notification_host/push/push_intake.h"
#include "tools/notification_host/shown_line.h"

namespace quenlarch::notification_host {
namespace {

// The engine for the app's extension; none when there is none to run (then reported).
std::unique_ptr<HostEngine> engineFor(const DeliverArgs& args, sd_event* loop) {
  auto located = locateServiceExtension(args.app);
  if (const auto* notFound = std::get_if<NotFound>(&located)) {
    note(noExtensionText(args.app, *notFound) + "; showing every notification as received");
    return nullptr;
  }
  EngineOptions options;
  options.launch = ExtensionLaunch{std::get<std::string>(located), args.keychain};
  options.timeLimit = args.timeLimit();
  options.grace = args.grace();
  options.retryFailedStart = false;
  options.diagnostics = [](std::string_view message) { note(message); };
  auto engine = HostEngine::create(loop, std::move(options));
  if (!engine) {
    note(engine.error() + "; showing every notification as received");
    return nullptr;
  }
  return std::move(*engine);
}

// The push in `payload`, or none when it is refused (then reported).
std::optional<AcceptedPush> acceptedPush(const RawPayload& payload,
                                         const push::PushDestination& destination) {
  if (payload.refused) {
    note("refused " + payload.name + ": " + *payload.refused);
    return std::nullopt;
  }
  auto accepted = acceptPush(payload.bytes, destination);
  if (!accepted) {
    note("refused " + payload.name + ": " + refusalText(accepted.error()));
    return std::nullopt;
  }
  return std::move(*accepted);
}

}  // namespace

int runDeliver(const DeliverArgs& args) {
  auto loop = EventLoop::create();
  if (!loop) return console().fail(tools::kExitFailed, loop.error());
  std::unique_ptr<HostEngine> engine = engineFor(args, loop->get());
  ShownLinePrinter printer;
  NotificationHost host(
      engine.get(), loop->get(), args.app, args.desktop(),
      [&printer](const std::string& opened) { printer.print(opened); }, std::nullopt,
      args.extensionScope());
  const push::PushDestination destination{bundleIdentifier(args.app)};

  bool anyRefused = false;
  PayloadSource source(args.payloads);
  while (std::optional<RawPayload> payload = source.next()) {
    std::optional<AcceptedPush> accepted = acceptedPush(*payload, destination);
    if (!accepted) {
      anyRefused = true;
      continue;
    }
    bool shown = false;
    host.receive(IncomingPush{payload->name, std::move(accepted->content), steadyClock().now(),
                              std::move(accepted->headers), std::move(accepted->warnings)},
                 [&](const std::string& line) {
                   printer.print(line);
                   shown = true;
                 });
    while (!shown && loop->runOnce()) {
    }
  }
  if (engine) {
    bool stopped = false;
    engine->stop([&stopped] { stopped = true; });
    while (!stopped && loop->runOnce()) {
    }
  }
  bool flushed = false;
  host.flush(NotificationHost::kDesktopFlushTime, [&flushed] { flushed = true; });
  while (!flushed && loop->runOnce()) {
  }
  // A failed loop ends the run: what it still owed is not waited for.
  if (loop->failure()) return console().fail(tools::kExitFailed, *loop->failure());

  if (!printer.finish()) {
    note("lost " + std::to_string(printer.lost()) + " of " + std::to_string(printer.printed()) +
         " shown lines writing standard output (" + printer.failure() +
         "); those notifications were delivered all the same");
  }
  const bool extensionMissing = engine == nullptr;
  const bool startFailed = engine && engine->startFailed();
  const bool failed = anyRefused || extensionMissing || startFailed || printer.lost() > 0;
  return failed ? tools::kExitFailed : tools::kExitOk;
}

void addDeliverCommand(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<DeliverArgs>();
  CLI::App* deliver = app.add_subcommand(
      "deliver", "Deliver push payloads through the app's notification service extension");
  addHostOptions(*deliver, *args);
  deliver
      ->add_option("payloads", args->payloads,
                   "JSON payload files (a payload, or {\"headers\":{...},\"payload\":{...}}), "
                   "in order; '-' reads one per line of stdin")
      ->required();
  deliver->callback([args, &exitCode] { exitCode = runDeliver(*args); });
}

}  // namespace quenlarch::notification_host
