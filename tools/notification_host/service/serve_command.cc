// serve: the main thread accepts connections and watches for signals and idleness; each client
// gets its own thread; the warm extension has its driver thread. Shutdown order: stop accepting,
// let each client's pushes finish and answer them, then stop the extension.
#include "tools/notification_host/service/serve_command.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "tools/common/command_line.h"
#include "tools/notification_host/deliver_command.h"
#include "tools/notification_host/extension_locator.h"
#include "tools/notification_host/service/client_connection.h"
#include "tools/notification_host/service/service_display.h"
#include "tools/notification_host/service/service_socket.h"
#include "tools/notification_host/service/warm_extension.h"

namespace quenlarch::notification_host {
namespace {

struct ServeArgs {
  std::string app;
  std::optional<std::string> socket;
  double timeLimitSeconds = 30;
  int graceMs = 1000;
  unsigned parallel = 1;
  unsigned memoryLimitMiB = 24;
  std::optional<double> idleExitSeconds;
  double extensionIdleSeconds = 30;
  unsigned maxClients = 64;
  std::optional<std::string> keychain;
  std::string show = "json";  // as deliver's --show
};

Clock::duration seconds(double value) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

// The accepted connections and their threads. A thread reports its end on `finished_` (an
// eventfd the main loop polls), so the main thread joins it promptly and its slot frees up.
class Connections {
 public:
  Connections() : finished_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Connections() { ::close(finished_); }

  int finishedFd() const { return finished_; }
  std::size_t size() const { return open_.size(); }

  void add(int fd, WarmExtension& extension, ServiceDisplay& display) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([this, fd, &extension, &display, done] {
      serveClient(fd, extension, display, stopping_);
      done->store(true);
      std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(finished_, &one, sizeof one);
    });
    open_.push_back({fd, std::move(thread), std::move(done)});
  }

  // Joins the threads that have ended; true when any had.
  bool reap() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(finished_, &count, sizeof count);
    bool any = false;
    for (auto it = open_.begin(); it != open_.end();) {
      if (!it->done->load()) {
        ++it;
        continue;
      }
      it->thread.join();
      ::close(it->fd);
      it = open_.erase(it);
      any = true;
    }
    return any;
  }

  // Stops reading from every client (lines already sent are still answered; new ones fail at the
  // client) and waits for each connection to answer and end.
  void closeAll() {
    stopping_.store(true);
    for (Open& open : open_) ::shutdown(open.fd, SHUT_RD);
    for (Open& open : open_) {
      open.thread.join();
      ::close(open.fd);
    }
    open_.clear();
  }

 private:
  struct Open {
    int fd;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  int finished_;
  std::atomic<bool> stopping_{false};
  std::list<Open> open_;
};

// A descriptor that turns readable on SIGTERM or SIGINT. The signals are blocked in every thread
// (threads inherit the mask from this one, which is why this runs before any is started); the
// extension gets an empty mask when it is spawned.
int stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

void acceptClients(int listenFd, const ServeArgs& args, Connections& connections,
                   WarmExtension& extension, ServiceDisplay& display) {
  while (true) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN: no more waiting; anything else: the client is already gone
    if (!peerIsSameUser(fd)) {
      refuseClient(fd, "connections from other users are refused");
      ::close(fd);
    } else if (connections.size() >= args.maxClients) {
      refuseClient(fd, "too many clients (at most " + std::to_string(args.maxClients) +
                           "); try again later");
      ::close(fd);
    } else {
      connections.add(fd, extension, display);
    }
  }
}

int runServe(const ServeArgs& args) {
  const tools::Console console("notification-host");
  auto located = locateServiceExtension(args.app);
  if (const auto* notFound = std::get_if<NotFound>(&located)) {
    return console.fail(tools::kExitFailed, "no notification service extension to run in " +
                                                args.app + ": " + notFound->reason);
  }
  const int signals = stopSignals();
  auto opened = openListener(args.socket);
  if (const auto* error = std::get_if<std::string>(&opened)) {
    ::close(signals);
    return console.fail(tools::kExitFailed, *error);
  }
  Listener listener = std::get<Listener>(std::move(opened));

  WarmOptions options;
  options.launch = ExtensionLaunch{std::get<std::string>(located), args.keychain};
  options.timeLimit = seconds(args.timeLimitSeconds);
  options.grace = std::chrono::milliseconds(args.graceMs);
  options.parallel = args.parallel;
  options.memoryLimitBytes = std::uint64_t{args.memoryLimitMiB} << 20;
  options.idleStop = seconds(args.extensionIdleSeconds);
  WarmExtension extension(std::move(options));
  ServiceDisplay display(args.app, args.show == "desktop");
  Connections connections;
  sd_notify(0, "READY=1");

  Clock::time_point idleSince = Clock::now();
  while (true) {
    int timeoutMs = -1;
    const bool idle = connections.size() == 0 && !extension.busy();
    std::optional<Clock::time_point> exitAt;
    if (args.idleExitSeconds && idle) {
      exitAt = idleSince + seconds(*args.idleExitSeconds);
      timeoutMs = static_cast<int>(std::max<std::int64_t>(
          0, std::chrono::ceil<std::chrono::milliseconds>(*exitAt - Clock::now()).count()));
    }
    pollfd fds[] = {
        {listener.fd, POLLIN, 0}, {signals, POLLIN, 0}, {connections.finishedFd(), POLLIN, 0}};
    // Polled once more even when the idle time is already up: a connection waiting in the
    // backlog (the one that made socket activation start the service) is served, not dropped.
    int ready = ::poll(fds, 3, timeoutMs);
    if (ready < 0) continue;  // EINTR
    if (ready == 0 && exitAt && Clock::now() >= *exitAt) break;
    if (fds[1].revents != 0) break;
    if (fds[2].revents != 0 && connections.reap()) idleSince = Clock::now();
    if (fds[0].revents != 0) {
      acceptClients(listener.fd, args, connections, extension, display);
      idleSince = Clock::now();
    }
  }

  closeListener(listener);
  connections.closeAll();
  extension.stop();
  ::close(signals);
  return tools::kExitOk;
}

}  // namespace

void addServeCommand(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<ServeArgs>();
  CLI::App* serve = app.add_subcommand(
      "serve", "Run as a service: keep the app's extension warm and answer pushes from clients");
  serve->add_option("--app", args->app, "The app bundle directory")->required();
  serve->add_option("--socket", args->socket,
                    "The Unix socket to listen on (default: " + defaultSocketPath() + ")");
  serve
      ->add_option("--time-limit", args->timeLimitSeconds,
                   "Seconds the extension has for each notification")
      ->check(CLI::Range(0.0, 86400.0))
      ->capture_default_str();
  serve
      ->add_option("--grace-ms", args->graceMs,
                   "Milliseconds the extension has after being told its time will expire")
      ->check(CLI::Range(0, 86'400'000))
      ->capture_default_str();
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
      ->check(CLI::Range(0.0, 86400.0 * 365));
  serve
      ->add_option("--extension-idle", args->extensionIdleSeconds,
                   "Stop the warm extension after this many seconds without a push")
      ->check(CLI::Range(0.0, 86400.0 * 365))
      ->capture_default_str();
  serve->add_option("--max-clients", args->maxClients, "Connections served at once")
      ->check(CLI::Range(1u, 4096u))
      ->capture_default_str();
  serve->add_option("--keychain", args->keychain,
                    "Keychain store for the extension (its QUENLARCH_KEYCHAIN)");
  addShowOption(*serve, args->show);
  serve->callback([args, &exitCode] { exitCode = runServe(*args); });
}

}  // namespace quenlarch::notification_host
