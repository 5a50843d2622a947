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
#include "tools/notification_host/service/service.h"
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
};

// Descriptors the service needs besides its clients: the standard streams, the listener and its
// lock, the loop's own, the extension's pipes and pidfd (twice while one retires), the reserve,
// the session bus, and files opened on the way.
constexpr rlim_t kDescriptorsBesidesClients = 32;
// Once the loop is done, how long what is still queued for stdout and stderr may take to go out.
constexpr auto kFinalOutputTime = std::chrono::seconds(5);

// --max-clients within what the descriptor limit allows, so that every client the service takes
// has a descriptor and every one beyond gets the "too many clients" line.
unsigned clientsAllowed(unsigned wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  const rlim_t room = limit.rlim_cur > kDescriptorsBesidesClients + 1
                          ? limit.rlim_cur - kDescriptorsBesidesClients
                          : 1;
  const unsigned allowed = static_cast<unsigned>(std::min<rlim_t>(wanted, room));
  if (allowed < wanted) {
    note("serving at most " + std::to_string(allowed) +
         " clients at once: the descriptor limit is " + std::to_string(limit.rlim_cur));
  }
  return allowed;
}

// Standard output and error as the loop's writers, and the notes routed through them until this
// goes; then whatever is still queued is written, for a while at most.
class ServiceOutput {
 public:
  static Expected<std::unique_ptr<ServiceOutput>> open(sd_event* loop) {
    auto out = StreamWriter::open(loop, STDOUT_FILENO, "standard output");
    if (!out) return unexpected(out.error());
    auto err = StreamWriter::open(loop, STDERR_FILENO, "standard error");
    if (!err) return unexpected(err.error());
    std::unique_ptr<ServiceOutput> output(new ServiceOutput(std::move(*out), std::move(*err)));
    ServiceOutput* raw = output.get();
    auto counts = EventSource::timer(
        loop,
        [raw] {
          if (auto next = printDueNoteCounts()) raw->counts_.armAt(*next);
        },
        "note counts");
    if (!counts) return unexpected(counts.error());
    raw->counts_ = std::move(*counts);
    routeNotes([raw](std::string_view line) { raw->err_->write(line); },
               [raw](std::chrono::steady_clock::time_point due) {
                 if (!raw->counts_.armed()) raw->counts_.armAt(due);
               });
    return output;
  }
  // A run that ends early (a failure after the writers opened) still gets its last notes out.
  ~ServiceOutput() { finish(); }

  StreamWriter& out() { return *out_; }
  // Either stream is behind: the service takes no more pushes until it has caught up.
  bool behind() const { return out_->behind() || err_->behind(); }
  void onBacklogChanged(const std::function<void()>& changed) {
    out_->onBacklogChanged([changed](bool) { changed(); });
    err_->onBacklogChanged([changed](bool) { changed(); });
  }
  // After the loop: notes go to stderr directly again, and what was queued goes out. Returns
  // the failure to report, if any line was lost.
  std::optional<std::string> finish() {
    routeNotes(nullptr, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + kFinalOutputTime;
    const bool errIntact = err_->finish(deadline);
    if (!out_->finish(deadline)) {
      return std::to_string(out_->lost()) + " lines lost writing standard output (" +
             out_->failure() + ")";
    }
    if (!errIntact) {
      return std::to_string(err_->lost()) + " lines lost writing standard error (" +
             err_->failure() + ")";
    }
    return std::nullopt;
  }

 private:
  ServiceOutput(std::unique_ptr<StreamWriter> out, std::unique_ptr<StreamWriter> err)
      : out_(std::move(out)), err_(std::move(err)) {}
  std::unique_ptr<StreamWriter> out_;
  std::unique_ptr<StreamWriter> err_;
  EventSource counts_;  // prints held-back note counts when they fall due
};

void blockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, signal);
  // The extension is started with no signal blocked.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int runServe(const ServeArgs& args) {
  const tools::Console& out = console();
  auto located = locateServiceExtension(args.app);
  if (const auto* notFound = std::get_if<NotFound>(&located)) {
    return out.fail(tools::kExitFailed, noExtensionText(args.app, *notFound));
  }
  blockStopSignals();
  auto listener = Listener::open(args.socket);
  if (!listener) return out.fail(tools::kExitFailed, listener.error());
  auto loop = EventLoop::create();
  if (!loop) return out.fail(tools::kExitFailed, loop.error());

  Service* service = nullptr;  // set below; the engine reports idleness to it
  EngineOptions engineOptions;
  engineOptions.launch = ExtensionLaunch{std::get<std::string>(located), args.keychain};
  engineOptions.timeLimit = args.timeLimit();
  engineOptions.grace = args.grace();
  engineOptions.parallel = args.parallel;
  engineOptions.memoryLimitBytes = std::uint64_t{args.memoryLimitMiB} << 20;
  engineOptions.idleStop = toDuration(args.extensionIdleSeconds);
  engineOptions.diagnostics = [](std::string_view message) { note(message); };
  // The engine and the provider's queue each say when they have nothing left in flight.
  auto reportIdle = [&service] {
    if (service != nullptr) service->engineIdle();
  };
  engineOptions.idle = reportIdle;
  auto engine = HostEngine::create(loop->get(), std::move(engineOptions));
  if (!engine) return out.fail(tools::kExitFailed, engine.error());
  // The service's standard output tells what no client asked for: each notification the person
  // opens, and the line of each push from the provider endpoint once it is shown.
  auto opened = ServiceOutput::open(loop->get());
  if (!opened) return out.fail(tools::kExitFailed, opened.error());
  ServiceOutput& output = **opened;
  auto printOutput = [&output](const std::string& line) {
    const bool lostBefore = output.out().lost() > 0;
    output.out().write(line);
    if (!lostBefore && output.out().lost() > 0) {
      note("lost a line writing standard output (" + output.out().failure() + ")");
    }
  };
  NotificationHost host(engine->get(), loop->get(), args.app, args.desktop(), printOutput,
                        client_protocol::kMaxAnswerBytes, args.extensionScope());
  // Read once: the client protocol, the provider endpoint and its welcome check topics against it.
  const std::string bundleId = bundleIdentifier(args.app);
  // While the device is away the provider's pushes are stored; one never delivered still ends
  // in a line of its own.
  auto store = StoreAndForward::create(
      loop->get(), steadyClock(), [&printOutput](const IncomingPush& push, std::string_view why) {
        printOutput(tools::jsonLine(droppedLine(push.name, push.headers, why)));
      });
  if (!store) return out.fail(tools::kExitFailed, store.error());
  ProviderPushes providerPushes(host, args.providerQueue, printOutput, reportIdle, store->get());
  ClientRequests requests(**engine, host, bundleId, &providerPushes);
  providerPushes.setOutputBehind([&output] { return output.behind(); });
  std::unique_ptr<provider::ProviderService> endpoint;
  provider::ProviderArgs providerArgs = args.provider;
  // Without a certificate of its own the endpoint gets a throwaway one, beside the socket.
  const bool throwaway = providerArgs.listen && providerArgs.tlsCert.empty();
  if (throwaway) {
    const auto files = provider::certificateFilesBeside(args.socket.value_or(defaultSocketPath()));
    auto made = provider::writeSelfSignedCertificate(*providerArgs.listen, files);
    if (!made) return out.fail(tools::kExitFailed, made.error());
    providerArgs.tlsCert = files.certificate;
    providerArgs.tlsKey = files.key;
  }
  if (providerArgs.listen) {
    auto started = provider::ProviderService::start(loop->get(), providerArgs, args.app, bundleId,
                                                    providerPushes, out);
    if (!started) return out.fail(tools::kExitFailed, started.error());
    endpoint = std::move(*started);
  }

  ServiceOptions options;
  options.maxClients = clientsAllowed(args.maxClients);
  options.clientIdle = toDuration(args.clientIdleSeconds);
  if (args.idleExitSeconds) options.idleExit = toDuration(*args.idleExitSeconds);
  options.stopAllowance = args.timeLimit() + args.grace() + std::chrono::seconds(1);
  options.finishing = [&host](std::function<void()> done) {
    host.flush(NotificationHost::kDesktopFlushTime, std::move(done));
  };
  if (endpoint) {
    options.frontBusy = [&endpoint, &providerPushes] {
      return endpoint->server().connections() > 0 || providerPushes.busy();
    };
    // New streams get GOAWAY, those in flight are answered (503 from here on, and those still
    // incomplete when the allowance is up), then the engine runs what was taken before it stops.
    options.stopFront = [&endpoint, &providerPushes,
                         allowance = options.stopAllowance](std::function<void()> drained) {
      providerPushes.stopTaking();
      endpoint->stop(allowance, std::move(drained));
    };
  }
  auto created = Service::create(*loop, *listener, **engine, requests, options);
  if (!created) return out.fail(tools::kExitFailed, created.error());
  service = created->get();
  output.onBacklogChanged([&output, &service] {
    if (service != nullptr) service->pauseIntake(output.behind());
  });

  note("listening on " + listener->description());
  if (endpoint) {
    const std::string bound = endpoint->server().boundAddress();
    note("provider endpoint listening on " + bound);
    for (const std::string& line : provider::welcomeLines(
             provider::endpointFacts(providerArgs, args.app, bundleId, bound, throwaway))) {
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
  addHostOptions(*serve, *args);
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
  serve->callback([args, &exitCode] { exitCode = runServe(*args); });
}

}  // namespace quenlarch::notification_host
