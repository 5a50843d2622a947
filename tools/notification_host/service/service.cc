// Service loop. Connections beyond --max-clients, from other users, or arriving when no
// descriptor is left get one error line and are closed at once, so that a client never waits in
// the backlog without an answer and the loop never spins on a listener it cannot serve.
#include "tools/notification_host/service/service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tools/notification_host/service/client_protocol.h"

namespace quenlarch::notification_host {
namespace {

namespace cp = client_protocol;

// Connections taken per wake-up, so that a flood of them shares the loop with the clients.
constexpr int kAcceptsPerWakeUp = 64;
// With no descriptor left even for a refusal, the listener rests this long (or until a client
// goes) instead of being polled in a busy loop.
constexpr auto kAcceptRetry = std::chrono::milliseconds(200);

void refuse(int fd, std::string_view message) {
  const std::string line = cp::errorAnswer(message) + "\n";
  [[maybe_unused]] ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::close(fd);
}

int openReserve() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

}  // namespace

Service::Service(EventLoop& loop, Listener& listener, ServiceEngines& engine,
                 RequestAnswerer& requests, ServiceOptions options)
    : loop_(loop),
      listener_(listener),
      engine_(engine),
      requests_(requests),
      options_(options),
      reserveFd_(openReserve()) {}

Service::~Service() {
  // Connections first: their sources and sockets go before the loop's other sources.
  clients_.clear();
  closedClients_.clear();
  if (reserveFd_ >= 0) ::close(reserveFd_);
}

Expected<std::unique_ptr<Service>> Service::create(EventLoop& loop, Listener& listener,
                                                   ServiceEngines& engine,
                                                   RequestAnswerer& requests,
                                                   ServiceOptions options) {
  std::unique_ptr<Service> service(new Service(loop, listener, engine, requests, options));
  if (Expected<void> made = service->makeSources(); !made) return unexpected(made.error());
  service->updateIdleExit();
  return service;
}

Expected<void> Service::makeSources() {
  sd_event* loop = loop_.get();
  auto accepting = EventSource::io(
      loop, listener_.fd(), EPOLLIN, [this](std::uint32_t) { acceptClients(); }, "client listener");
  if (!accepting) return unexpected(accepting.error());
  accepting_ = std::move(*accepting);
  auto retry = EventSource::timer(
      loop, [this] { resumeListener(); }, "accept retry", clock());
  if (!retry) return unexpected(retry.error());
  acceptRetry_ = std::move(*retry);
  auto idleExit = EventSource::timer(
      loop, [this] { idleExitDue(); }, "idle exit", clock());
  if (!idleExit) return unexpected(idleExit.error());
  idleExit_ = std::move(*idleExit);
  auto freeClosed = EventSource::deferred(
      loop, [this] { closedClients_.clear(); }, "free closed clients");
  if (!freeClosed) return unexpected(freeClosed.error());
  freeClosed_ = std::move(*freeClosed);
  auto applyPause = EventSource::deferred(
      loop,
      [this] {
        std::vector<std::shared_ptr<ClientConnection>> clients;
        for (auto& [key, client] : clients_) clients.push_back(client);
        for (auto& client : clients) client->setPaused(intakePaused_);
      },
      "pause client intake");
  if (!applyPause) return unexpected(applyPause.error());
  applyPause_ = std::move(*applyPause);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    auto source = EventSource::signal(
        loop, signal, [this] { beginStop(); }, "stop signal");
    if (!source) return unexpected(source.error());
    signals_.push_back(std::move(*source));
  }
  return {};
}

void Service::acceptClients() {
  for (int i = 0; i < kAcceptsPerWakeUp && !stopping_; ++i) {
    const int fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      admit(fd);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EMFILE && errno != ENFILE) break;  // EAGAIN: none waiting
    // No descriptor left: the reserve makes room to take one connection and say so.
    if (reserveFd_ >= 0) {
      ::close(reserveFd_);
      const int waiting = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
      if (waiting >= 0) refuse(waiting, "no descriptor left for another client; try again later");
      reserveFd_ = openReserve();
      if (waiting >= 0 && reserveFd_ >= 0) continue;
    }
    pauseListener();
    break;
  }
  updateIdleExit();
}

void Service::admit(int fd) {
  if (!peerIsSameUser(fd)) return refuse(fd, "connections from other users are refused");
  if (clients_.size() >= options_.maxClients) {
    return refuse(fd, "too many clients (at most " + std::to_string(options_.maxClients) +
                          "); try again later");
  }
  auto connection = ClientConnection::open(
      loop_.get(), fd, options_.clientIdle, clock(),
      [this](std::string_view line, ClientConnection::Reply reply) {
        requests_.answer(line, std::move(reply));
      },
      [this](ClientConnection& closed) { connectionClosed(closed); });
  if (!connection) return;  // it closed the socket
  if ((*connection)->closed()) return;
  ClientConnection* key = connection->get();
  if (intakePaused_) (*connection)->setPaused(true);
  clients_.emplace(key, std::move(*connection));
}

void Service::pauseIntake(bool paused) {
  if (paused == intakePaused_) return;
  intakePaused_ = paused;
  applyPause_.trigger();
}

void Service::connectionClosed(ClientConnection& connection) {
  auto it = clients_.find(&connection);
  if (it == clients_.end()) return;
  closedClients_.push_back(std::move(it->second));
  clients_.erase(it);
  freeClosed_.trigger();
  if (listenerPaused_) resumeListener();
  if (stopping_) return stopEngineOnceClientsAreGone();
  updateIdleExit();
}

void Service::pauseListener() {
  listenerPaused_ = true;
  accepting_.setEnabled(false);
  acceptRetry_.armAt(clock().now() + kAcceptRetry);
}

void Service::resumeListener() {
  if (stopping_) return;
  listenerPaused_ = false;
  acceptRetry_.disarm();
  if (reserveFd_ < 0) reserveFd_ = openReserve();
  accepting_.setEnabled(true);
}

void Service::updateIdleExit() {
  if (!options_.idleExit || stopping_) return;
  if (!clients_.empty() || engine_.busy()) return idleExit_.disarm();
  if (!idleExit_.armed()) idleExit_.armAt(clock().now() + *options_.idleExit);
}

void Service::idleExitDue() {
  // A connection waiting in the backlog (the one that made socket activation start the service)
  // is served, not dropped.
  pollfd waiting{listener_.fd(), POLLIN, 0};
  if (::poll(&waiting, 1, 0) > 0) return acceptClients();
  if (!clients_.empty() || engine_.busy()) return;
  // The other front does not say when its last connection goes, so it is asked again later.
  if (frontBusy()) return idleExit_.armAt(clock().now() + *options_.idleExit);
  beginStop();
}

void Service::beginStop() {
  if (stopping_) return;
  stopping_ = true;
  accepting_ = EventSource();
  acceptRetry_ = EventSource();
  idleExit_ = EventSource();
  listener_.stopListening();
  const Clock::time_point deadline = clock().now() + options_.stopAllowance;
  std::vector<std::shared_ptr<ClientConnection>> clients;
  for (auto& [key, client] : clients_) clients.push_back(client);
  for (auto& client : clients) client->stop(deadline);  // may close it at once
  if (options_.stopFront) {
    options_.stopFront([this] {  // may be called at once
      frontDrained_ = true;
      stopEngineOnceClientsAreGone();
    });
  } else {
    frontDrained_ = true;
  }
  stopEngineOnceClientsAreGone();
}

void Service::stopEngineOnceClientsAreGone() {
  if (!clients_.empty() || !frontDrained_ || engineStopping_) return;
  engineStopping_ = true;
  engine_.stop([this] {
    if (!options_.finishing) return loop_.exit(0);
    options_.finishing([this] { loop_.exit(0); });
  });
}

}  // namespace quenlarch::notification_host
