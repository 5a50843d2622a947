// The service's loop: the listener, its clients, the stop signals and the idle exit, all on the
// one event loop that also runs the engine. Stopping: stop listening (the socket file goes at
// once, the path stays held until exit), answer what every client has already sent and tell it
// the service is stopping, then let the engine answer whatever is still in flight and stop the
// extension. A second front (the provider endpoint) on the same loop is stopped alongside the
// clients, and the engine stops only once it has drained too.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/engine/host_engine.h"
#include "tools/notification_host/service/client_connection.h"
#include "tools/notification_host/service/client_requests.h"
#include "tools/notification_host/service/service_socket.h"

namespace quenlarch::notification_host {

// What the service waits for before an idle exit, and stops last: one app's engine, or a fleet's.
class ServiceEngines {
 public:
  virtual ~ServiceEngines() = default;
  virtual bool busy() const = 0;
  // As HostEngine::stop, for all of them.
  virtual void stop(std::function<void()> stopped) = 0;
};

class OneEngine final : public ServiceEngines {
 public:
  explicit OneEngine(HostEngine& engine) : engine_(engine) {}
  bool busy() const override { return engine_.busy(); }
  void stop(std::function<void()> stopped) override { engine_.stop(std::move(stopped)); }

 private:
  HostEngine& engine_;
};

struct ServiceOptions {
  unsigned maxClients = 64;
  Clock::duration clientIdle = std::chrono::seconds(30);
  std::optional<Clock::duration> idleExit;
  // Once stopping, how long a client may take before it is dropped: the time limit and grace of
  // the pushes it has in flight, and a second to take the last answers.
  Clock::duration stopAllowance = std::chrono::seconds(32);
  // Once the engine has stopped: what is left to finish before the loop exits (the desktop taking
  // the last notifications); it calls its argument when done.
  std::function<void(std::function<void()> done)> finishing;
  // Another front taking pushes on the loop, such as the provider endpoint. `frontBusy`: it has
  // connections open or pushes not yet shown, so the idle exit waits. `stopFront`: called once
  // stopping begins; it stops taking pushes, finishes what it has and then calls its argument,
  // after which the engine is stopped.
  std::function<bool()> frontBusy;
  std::function<void(std::function<void()> drained)> stopFront;
  // The engine's clock, which the service's and its clients' timers run on too.
  Clock* clock = &steadyClock();
};

class Service {
 public:
  // The signals SIGTERM, SIGINT and SIGHUP must already be blocked in every thread.
  static Expected<std::unique_ptr<Service>> create(EventLoop& loop, Listener& listener,
                                                   ServiceEngines& engine,
                                                   RequestAnswerer& requests,
                                                   ServiceOptions options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Serves until stopped by a signal or the idle exit; the loop's exit code.
  int run() { return loop_.run(); }
  // The engine has answered its last push, or the other front has finished its last one.
  void engineIdle() { updateIdleExit(); }
  // While paused (the service's output is behind) no client is read; applied on the next turn,
  // so that it may be called from anywhere on the loop.
  void pauseIntake(bool paused);

 private:
  Service(EventLoop& loop, Listener& listener, ServiceEngines& engine, RequestAnswerer& requests,
          ServiceOptions options);
  Expected<void> makeSources();
  void acceptClients();
  void admit(int fd);
  void connectionClosed(ClientConnection& connection);
  // No descriptor is left to accept with: the listener rests until a client goes, or a while.
  void pauseListener();
  void resumeListener();
  void updateIdleExit();
  void idleExitDue();
  void beginStop();
  void stopEngineOnceClientsAreGone();
  bool frontBusy() const { return options_.frontBusy && options_.frontBusy(); }
  Clock& clock() const { return *options_.clock; }

  EventLoop& loop_;
  Listener& listener_;
  ServiceEngines& engine_;
  RequestAnswerer& requests_;
  const ServiceOptions options_;
  std::map<ClientConnection*, std::shared_ptr<ClientConnection>> clients_;
  std::vector<std::shared_ptr<ClientConnection>> closedClients_;  // freed on the next turn
  int reserveFd_ = -1;  // given up for a moment to accept and refuse when no descriptor is left
  bool listenerPaused_ = false;
  bool stopping_ = false;
  bool engineStopping_ = false;
  bool frontDrained_ = false;
  bool intakePaused_ = false;

  EventSource accepting_;
  EventSource acceptRetry_;
  EventSource idleExit_;
  EventSource freeClosed_;
  EventSource applyPause_;
  std::vector<EventSource> signals_;
};

}  // namespace quenlarch::notification_host
