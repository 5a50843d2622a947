// serve: one thread. The listener, the clients, the provider endpoint, the extension's pipes and
// exit, every deadline, the idle stop and exit, and the stop signals all run on one event loop in
// the main thread.
#include "tools/notification_host/service/serve_command.h"

#include <signal.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "tools/common/command_line.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/engine/host_engine.h"
#include "tools/notification_host/engine/stream_writer.h"
#include "tools/notification_host/extension_locator.h"
#include "tools/notification_host/host_options.h"
#include "tools/notification_host/notification_host.h"
#include "tools/notification_host/provider/endpoint_welcome.h"
#include "tools/notification_host/provider/provider_service.h"
#include "tools/notification_host/provider/self_signed_certificate.h"
#include "tools/notification_host/push/push_intake.h"
#include "tools/notification_host/service/client_protocol.h"
#include "tools/notification_host/service/client_requests.h"
#include "tools/notification_host/service/provider_pushes.h"
#include "tools/notification_host/service/serve_parts.h"
#include "tools/notification_host/service/service.h"
#include "tools/notification_host/service/service_output.h"
#include "tools/notification_host/service/service_socket.h"
#include "tools/notification_host/service/store_and_forward.h"
#include "tools/notification_host/shown_line.h"

namespace quenlarch::notification_host {
namespace {

struct ServeArgs : HostArgs {
  std::optional<std::string> socket;
  unsigned parallel = 1;
  unsigned memoryLimitMiB = 24;
  std::optional<double> idleExitSeconds;
  double extensionIdleSeconds = 30;
  double clientIdleSeconds = 30;
  unsigned maxClients = 64;
  provider::ProviderArgs provider;
  unsigned providerQueue = ProviderPushes::kDefaultMaxQueued;
  std::optional<std::string> fleet;
  unsigned warmExtensions = 8;
};

// Descriptors the service needs besides its clients: the standard streams, the listener and its
// lock, the loop's own, the extension's pipes and pidfd (twice while one retires), the reserve,
// the session bus, and files opened on the way.
constexpr rlim_t kDescriptorsBesidesClients = 32;
// And per warm extension of a fleet beyond the first: its pipes and pidfd, twice while it retires.
constexpr rlim_t kDescriptorsPerExtension = 8;

// --max-clients within what the descriptor limit allows, so that every client the service takes
// has a descriptor and every one beyond gets the "too many clients" line.
unsigned clientsAllowed(unsigned wanted, rlim_t extensions) {
  rlimit limit{};
  const rlim_t besides = kDescriptorsBesidesClients + kDescriptorsPerExtension * (extensions - 1);
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  const rlim_t room = limit.rlim_cur > besides + 1 ? limit.rlim_cur - besides : 1;
  const unsigned allowed = static_cast<unsigned>(std::min<rlim_t>(wanted, room));
  if (allowed < wanted) {
    note("serving at most " + std::to_string(allowed) +
         " clients at once: the descriptor limit is " + std::to_string(limit.rlim_cur));
  }
  return allowed;
}

void blockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, signal);
  // The extension is started with no signal blocked.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// One app's parts: its engine, host, store-and-forward, provider queue and client requests.
Expected<ServeParts> appParts(const ServeArgs& args, const ServeSetup& setup) {
  auto located = locateServiceExtension(args.app);
  if (const auto* notFound = std::get_if<NotFound>(&located)) {
    return unexpected(noExtensionText(args.app, *notFound));
  }
  ServeParts parts;
  parts.app = args.app;
  // Read once: the client protocol, the provider endpoint and its welcome check topics against it.
  parts.bundleId = bundleIdentifier(args.app);
  EngineOptions engineOptions = setup.engine;
  engineOptions.launch = ExtensionLaunch{std::get<std::string>(located), args.keychain};
  auto engine = HostEngine::create(setup.loop, std::move(engineOptions));
  if (!engine) return unexpected(engine.error());
  HostEngine* raw = parts.keep(std::move(*engine));
  parts.engines = parts.keep(std::make_unique<OneEngine>(*raw));
  parts.host = parts.keep(
      std::make_unique<NotificationHost>(raw, setup.loop, args.app, args.desktop(), setup.print,
                                         client_protocol::kMaxAnswerBytes, args.extensionScope()));
  // While the device is away the provider's pushes are stored; one never delivered still ends
  // in a line of its own.
  auto store = StoreAndForward::create(
      setup.loop, steadyClock(),
      [print = setup.print](const IncomingPush& push, std::string_view why) {
        print(tools::jsonLine(droppedLine(push.name, push.headers, why)));
      });
  if (!store) return unexpected(store.error());
  StoreAndForward* kept = parts.keep(std::move(*store));
  ProviderPushes* pushes = parts.keep(std::make_unique<ProviderPushes>(
      *parts.host, setup.providerQueue, setup.print, setup.reportIdle, kept));
  parts.requests =
      parts.keep(std::make_unique<ClientRequests>(*raw, *parts.host, parts.bundleId, pushes));
  parts.sink = pushes;
  parts.pushesBusy = [pushes] { return pushes->busy(); };
  parts.stopTaking = [pushes] { pushes->stopTaking(); };
  parts.setOutputBehind = [pushes](std::function<bool()> behind) {
    pushes->setOutputBehind(std::move(behind));
  };
  return parts;
}

int runServe(const ServeArgs& args) {
  const tools::Console& out = console();
  if (args.app.empty() == !args.fleet) {
    return out.fail(tools::kExitUsage, "serve needs exactly one of --app and --fleet");
  }
  blockStopSignals();
  auto listener = Listener::open(args.socket);
  if (!listener) return out.fail(tools::kExitFailed, listener.error());
  auto loop = EventLoop::create();
  if (!loop) return out.fail(tools::kExitFailed, loop.error());
  // The service's standard output tells what no client asked for: each notification the person
  // opens, and the line of each push from the provider endpoint once it is shown.
  auto opened = ServiceOutput::open(loop->get());
  if (!opened) return out.fail(tools::kExitFailed, opened.error());
  ServiceOutput& output = **opened;

  Service* service = nullptr;  // set below; the engines report idleness to it
  ServeSetup setup;
  setup.loop = loop->get();
  setup.host = &args;
  setup.engine.timeLimit = args.timeLimit();
  setup.engine.grace = args.grace();
  setup.engine.parallel = args.parallel;
  setup.engine.memoryLimitBytes = std::uint64_t{args.memoryLimitMiB} << 20;
  setup.engine.idleStop = toDuration(args.extensionIdleSeconds);
  setup.engine.diagnostics = [](std::string_view message) { note(message); };
  // The engines and the provider's queue each say when they have nothing left in flight.
  setup.reportIdle = [&service] {
    if (service != nullptr) service->engineIdle();
  };
  setup.engine.idle = setup.reportIdle;
  setup.print = [&output](const std::string& line) { output.print(line); };
  setup.providerQueue = args.providerQueue;
  auto made =
      args.fleet ? fleetParts(*args.fleet, args.warmExtensions, setup) : appParts(args, setup);
  if (!made) return out.fail(tools::kExitFailed, made.error());
  ServeParts& parts = *made;
  parts.setOutputBehind([&output] { return output.behind(); });
  std::unique_ptr<provider::ProviderService> endpoint;
  provider::ProviderArgs providerArgs = args.provider;
  // Without a certificate of its own the endpoint gets a throwaway one, beside the socket.
  const bool throwaway = providerArgs.listen && providerArgs.tlsCert.empty();
  if (throwaway) {
    const auto files = provider::certificateFilesBeside(args.socket.value_or(defaultSocketPath()));
    auto written = provider::writeSelfSignedCertificate(*providerArgs.listen, files);
    if (!written) return out.fail(tools::kExitFailed, written.error());
    providerArgs.tlsCert = files.certificate;
    providerArgs.tlsKey = files.key;
  }
  if (providerArgs.listen) {
    auto started =
        provider::ProviderService::start(loop->get(), providerArgs, parts.app, parts.bundleId,
                                         *parts.sink, out, {}, std::move(parts.registry));
    if (!started) return out.fail(tools::kExitFailed, started.error());
    endpoint = std::move(*started);
  }

  ServiceOptions options;
  options.maxClients = clientsAllowed(args.maxClients, args.fleet ? args.warmExtensions : 1);
  options.clientIdle = toDuration(args.clientIdleSeconds);
  if (args.idleExitSeconds) options.idleExit = toDuration(*args.idleExitSeconds);
  options.stopAllowance = args.timeLimit() + args.grace() + std::chrono::seconds(1);
  NotificationHost& host = *parts.host;
  options.finishing = [&host](std::function<void()> done) {
    host.flush(NotificationHost::kDesktopFlushTime, std::move(done));
  };
  if (endpoint) {
    options.frontBusy = [&endpoint, &parts] {
      return endpoint->server().connections() > 0 || parts.pushesBusy();
    };
    // New streams get GOAWAY, those in flight are answered (503 from here on, and those still
    // incomplete when the allowance is up), then the engine runs what was taken before it stops.
    options.stopFront = [&endpoint, &parts,
                         allowance = options.stopAllowance](std::function<void()> drained) {
      parts.stopTaking();
      endpoint->stop(allowance, std::move(drained));
    };
  }
  auto created = Service::create(*loop, *listener, *parts.engines, *parts.requests, options);
  if (!created) return out.fail(tools::kExitFailed, created.error());
  service = created->get();
  output.onBacklogChanged([&output, &service] {
    if (service != nullptr) service->pauseIntake(output.behind());
  });

  note("listening on " + listener->description());
  if (endpoint) {
    const std::string bound = endpoint->server().boundAddress();
    note("provider endpoint listening on " + bound);
    provider::EndpointFacts facts =
        provider::endpointFacts(providerArgs, parts.app, parts.bundleId, bound, throwaway);
    facts.fleetDevices = parts.fleetDevices;
    for (const std::string& line : provider::welcomeLines(facts)) {
      note(line);
    }
  }
  sd_notify(0, "READY=1");
  const int code = service->run();
  service = nullptr;
  const std::optional<std::string> lost = output.finish();
  if (code < 0) {
    return out.fail(tools::kExitFailed, loop->failure().value_or("the event loop failed"));
  }
  if (lost) return out.fail(tools::kExitFailed, *lost);
  return tools::kExitOk;
}

}  // namespace

void addServeCommand(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<ServeArgs>();
  CLI::App* serve = app.add_subcommand(
      "serve", "Run as a service: keep the app's extension warm and answer pushes from clients");
  addHostOptions(*serve, *args, /*appRequired=*/false);
  serve
      ->add_option("--socket", args->socket,
                   "The Unix socket to listen on (default: " + defaultSocketPath() + ")")
      ->check(pathValidator());
  serve->add_option("--parallel", args->parallel, "Requests in flight in the extension at once")
      ->check(CLI::Range(1u, 256u))
      ->capture_default_str();
  serve
      ->add_option("--memory-limit", args->memoryLimitMiB,
                   "MiB of resident memory past which the extension is killed")
      ->check(CLI::Range(1u, 1u << 20))
      ->capture_default_str();
  serve
      ->add_option("--idle-exit", args->idleExitSeconds,
                   "Exit after this many seconds with no client and no push in flight")
      ->check(secondsValidator(kMaxIdleSeconds));
  serve
      ->add_option("--extension-idle", args->extensionIdleSeconds,
                   "Stop the warm extension after this many seconds without a push")
      ->check(secondsValidator(kMaxIdleSeconds))
      ->capture_default_str();
  serve
      ->add_option("--client-idle", args->clientIdleSeconds,
                   "Close a connection that has sent no request for this many seconds")
      ->check(secondsValidator(kMaxIdleSeconds))
      ->capture_default_str();
  serve->add_option("--max-clients", args->maxClients, "Connections served at once")
      ->check(CLI::Range(1u, 4096u))
      ->capture_default_str();
  provider::addProviderOptions(*serve, args->provider);
  serve
      ->add_option("--provider-queue", args->providerQueue,
                   "Provider pushes taken and not yet shown before the next is answered 429")
      ->check(CLI::Range(1u, 65536u))
      ->needs("--provider-listen")
      ->capture_default_str();
  serve
      ->add_option("--fleet", args->fleet,
                   "Serve every device of the fleet in this folder (badge-app fleet create) "
                   "instead of one --app: pushes name their device by its token")
      ->check(pathValidator())
      ->excludes("--app")
      ->excludes("--keychain");
  serve
      ->add_option("--warm-extensions", args->warmExtensions,
                   "With --fleet: device extensions alive at once; the least recently used idle "
                   "one is stopped to start another")
      ->check(CLI::Range(1u, 1024u))
      ->needs("--fleet")
      ->capture_default_str();
  serve->callback([args, &exitCode] { exitCode = runServe(*args); });
}

}  // namespace quenlarch::notification_host
