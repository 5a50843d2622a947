// The host's rules for running pushes through an app's extension, on the event loop; deliver and
// serve both run on it. Each push is shown exactly once, no later than its arrival + time limit +
// grace: the extension's content when it delivers in time; the content as received when it
// releases the handler, runs out of time, crashes, passes the memory limit, cannot be started, or
// the push waited for a slot past its time.
//
// One extension process at a time, with up to `parallel` requests in flight in it; more pushes
// wait in order. When a request's time limit passes it is told so (serviceExtensionTimeWillExpire
// with its id); at its final deadline the process is given up on and every push in flight in it is
// shown as received. A process that failed is replaced on the next push; one idle for `idleStop`
// is stopped, and started again when a push comes. The process's resident memory is sampled every
// millisecond while a request is in flight or it is starting, and before anything it says is
// believed; past the limit it is killed at once, without serviceExtensionTimeWillExpire.
//
// Everything runs on the loop's thread: submit() and stop() are called there, and every callback
// comes from there.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/notification_host/engine/engine_types.h"
#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/engine/extension_channel.h"
#include "tools/notification_host/engine/resident_memory.h"
#include "tools/notification_host/engine/warm_slots.h"

namespace quenlarch::notification_host {

struct EngineOptions {
  ExtensionLaunch launch;
  // From a push's arrival until serviceExtensionTimeWillExpire for it.
  Clock::duration timeLimit = std::chrono::seconds(30);
  // After the time limit (and when stopping a process, after closing its input) how long the
  // extension has before the host stops waiting. A fresh process has timeLimit + grace to report
  // that it is ready.
  Clock::duration grace = std::chrono::seconds(1);
  unsigned parallel = 1;
  std::optional<std::uint64_t> memoryLimitBytes;  // none: not watched
  std::optional<Clock::duration> idleStop;        // none: the process stays until stop()
  // false: once the extension cannot be started, every later push is shown as received without
  // trying again (a one-shot run); true: the next push tries again (a service).
  bool retryFailedStart = true;
  // Receives every problem worth telling the person about, as one line.
  std::function<void(std::string_view)> diagnostics;
  // Called whenever the last push waiting or in flight has been answered.
  std::function<void()> idle;
  // What every deadline is read from and every timer runs on; it must outlive the engine.
  Clock* clock = &steadyClock();
  // Shared with other engines: the process is started only with a slot from here (its pushes
  // wait meanwhile, their deadlines running), and the slot is given back once it is reaped. None:
  // this engine's process needs no one's leave.
  WarmSlots* slots = nullptr;
};

struct EngineStatus {
  pid_t extensionPid = 0;  // 0: no process running
  std::uint64_t extensionStarts = 0;
  std::uint64_t peakResidentBytes = 0;  // of the running process, 0 when there is none
  unsigned pushesInFlight = 0;          // submitted and not yet answered
  unsigned requestsInExtension = 0;     // of those, handed to the process
};

class HostEngine final : public WarmEngine {
 public:
  using Done = std::function<void(Shown)>;

  static Expected<std::unique_ptr<HostEngine>> create(sd_event* loop, EngineOptions options);
  ~HostEngine();  // kills the processes; pushes not yet answered never are
  HostEngine(const HostEngine&) = delete;
  HostEngine& operator=(const HostEngine&) = delete;

  // Runs `content`, which arrived at `arrival`, through the extension. `done` is called exactly
  // once, from a later turn of the loop (never from inside submit), no later than arrival +
  // timeLimit + grace.
  void submit(std::shared_ptr<const PushContent> content, Clock::time_point arrival, Done done);

  // Lets every push submitted (before or after this call) be answered, then closes the process's
  // input and gives it the grace period to exit; `stopped` is called once all that is done.
  void stop(std::function<void()> stopped);

  bool busy() const override { return !queue_.empty() || !inFlight_.empty(); }
  // Pushes waiting or in flight, without the /proc read status() makes.
  unsigned pushesWaitingOrInFlight() const {
    return static_cast<unsigned>(queue_.size() + inFlight_.size());
  }
  Clock& clock() const { return *options_.clock; }
  EngineStatus status() const;
  // True once the extension could not be started.
  bool startFailed() const { return startFailed_; }
  // When a push last came.
  Clock::time_point lastActive() const override { return lastActive_; }
  // WarmSlots: a slot is kept for this engine; it starts its process on the next turn.
  void slotFreed() override;
  // WarmSlots: stop the process as soon as nothing waits or is in flight (from the next turn),
  // giving its slot back once it is reaped.
  void stopWarmProcess() override;

 private:
  // "1 push", "3 pushes": for the engine's notes.
  static std::string count(std::size_t pushes);
  struct Push {
    std::shared_ptr<const PushContent> content;
    Clock::time_point expireAt;  // serviceExtensionTimeWillExpire
    Clock::time_point finalAt;   // shown as received if not answered by then
    Done done;
    bool expiring = false;  // serviceExtensionTimeWillExpire has been sent
  };
  struct Current {
    std::unique_ptr<ExtensionChannel> channel;
    bool ready = false;
    Clock::time_point readyBy;
    std::unique_ptr<ResidentSize> resident;  // when memory is watched
  };
  struct FailedHandOver {
    const ExtensionChannel* channel;
    std::string why;
  };
  // A process on its way out: first given until killAt to end by itself, then killed and given
  // until killAt again to be reaped.
  struct Retiring {
    std::unique_ptr<ExtensionChannel> channel;
    Clock::time_point killAt;
    bool killed = false;
  };

  HostEngine(sd_event* loop, EngineOptions options)
      : loop_(loop), options_(std::move(options)), lastActive_(options_.clock->now()) {}
  Expected<void> makeSources();
  void note(std::string_view message) const;

  // host_engine.cc: everything that follows from the time and the state: deadlines, filling free
  // slots, starting, idling and stopping, then the timers for what comes next.
  void pump();
  void expireQueued(Clock::time_point now);
  void checkInFlight(Clock::time_point now);
  void fillSlots(Clock::time_point now);
  // Hands waiting pushes to the ready process while slots are free; the reason when a hand-over
  // failed (the caller then gives up on the process).
  std::optional<std::string> sendWaiting(Clock::time_point now);
  void startProcess(Clock::time_point now);
  void retireWhenIdle(Clock::time_point now);
  void armTimers(Clock::time_point now);
  // Gives the slot (held, or kept for this engine and not taken) back once no process is alive.
  void releaseSlot();
  void finishStopping();

  // host_engine_answers.cc: what the extension says, and how its pushes are answered when it
  // fails.
  void dispatch(std::string_view line);
  // True when the current process is within its memory limit (or not watched); otherwise kills it.
  bool withinMemoryLimit();
  void processEnded(const std::string& how);
  // Kills the current process and shows every push in flight as received; `why` is noted.
  void discardCurrent(const std::string& why);
  // The current process never became ready: discarded, and the pushes waiting for it are shown
  // as received.
  void failStart(const std::string& why);
  void retire(std::unique_ptr<ExtensionChannel> channel, Clock::time_point now);
  // SIGKILL; the channel stays among the retiring until the loop has reaped its process, so that
  // a stop waits for that.
  void killChannel(std::unique_ptr<ExtensionChannel> channel, Clock::time_point now);
  void killRetiring(Retiring& retiring, Clock::time_point now);
  // The process of a retiring channel is gone: the channel is freed on the next turn.
  void retired(const ExtensionChannel* channel);
  void answerQueuedAsReceived();
  void answer(Push push, Shown shown) const;
  // The request `id` the extension answered (`what`: "deliver for", "release of"), no longer in
  // flight; nothing, with a note, when it is not in flight.
  std::optional<Push> takeInFlight(const std::string& id, std::string_view what);

  sd_event* loop_;
  const EngineOptions options_;
  std::deque<Push> queue_;
  // The queued pushes' finalAt, soonest first: pushes need not arrive in the order of their
  // deadlines (a stored push is timed from its delivery), and a deep queue (a provider's burst)
  // must not be walked on every turn of the loop to find the next one.
  std::multiset<Clock::time_point> queuedFinalAt_;
  std::map<std::string, Push> inFlight_;  // by request id
  std::optional<Current> current_;
  std::vector<Retiring> retiring_;
  // Channels given up on from inside their own handlers, freed on the next turn.
  std::vector<std::unique_ptr<ExtensionChannel>> discarded_;
  std::uint64_t nextId_ = 0;
  std::uint64_t starts_ = 0;
  bool startFailed_ = false;
  bool wasBusy_ = false;
  std::optional<FailedHandOver> failedHandOver_;  // found by submit(), dealt with by pump()
  Clock::time_point lastActive_;
  bool stopping_ = false;
  std::function<void()> stopped_;
  bool holdsSlot_ = false;     // of options_.slots, while a process is alive
  bool slotKept_ = false;      // options_.slots keeps one for this engine
  bool retireWanted_ = false;  // stopWarmProcess() was asked

  EventSource pumpSoon_;  // deferred: pump() on the next turn
  EventSource deadline_;  // the earliest deadline of any kind
  EventSource sampler_;   // memory, every millisecond while needed
};

}  // namespace quenlarch::notification_host
