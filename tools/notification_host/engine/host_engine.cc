// Host engine. pump() is the one place where time and state turn into actions; events (a line, an
// exit, a submit, a timer) change the state and ask for a pump on the next turn, so that no
// callback runs inside another and every answer leaves the engine consistent first.
#include "tools/notification_host/engine/host_engine.h"

#include <algorithm>
#include <utility>

#include "platform/linux/host_protocol.h"
#include "tools/notification_host/engine/resident_memory.h"

namespace quenlarch::notification_host {
namespace {

namespace protocol = host_protocol;

// How often resident memory is sampled while a request is in flight or a process is starting:
// short enough that an allocation of a few hundred MiB (which takes tens of milliseconds to
// touch) is caught on its way past the limit.
constexpr auto kSampleInterval = std::chrono::milliseconds(1);
// How long a killed process is waited for before the loop is left to reap it unseen: the kernel
// ends one at once unless it is stuck in an uninterruptible wait.
constexpr auto kReapWait = std::chrono::seconds(2);

}  // namespace

std::string HostEngine::count(std::size_t pushes) {
  return std::to_string(pushes) + (pushes == 1 ? " push" : " pushes");
}

Expected<std::unique_ptr<HostEngine>> HostEngine::create(sd_event* loop, EngineOptions options) {
  std::unique_ptr<HostEngine> engine(new HostEngine(loop, std::move(options)));
  if (Expected<void> made = engine->makeSources(); !made) return unexpected(made.error());
  return engine;
}

Expected<void> HostEngine::makeSources() {
  auto pumpSoon = EventSource::deferred(
      loop_, [this] { pump(); }, "engine pump");
  if (!pumpSoon) return unexpected(pumpSoon.error());
  pumpSoon_ = std::move(*pumpSoon);
  auto deadline = EventSource::timer(
      loop_, [this] { pump(); }, "engine deadline", *options_.clock);
  if (!deadline) return unexpected(deadline.error());
  deadline_ = std::move(*deadline);
  // A sample that finds the process within its limit only books the next one; one past it has
  // discarded the process, and the pump that follows sees to the rest.
  auto sampler = EventSource::timer(
      loop_,
      [this] {
        if (withinMemoryLimit()) sampler_.armAt(clock().now() + kSampleInterval);
      },
      "extension memory sample", *options_.clock);
  if (!sampler) return unexpected(sampler.error());
  sampler_ = std::move(*sampler);
  return {};
}

HostEngine::~HostEngine() = default;  // the channels kill their processes

void HostEngine::note(std::string_view message) const {
  if (options_.diagnostics) options_.diagnostics(message);
}

void HostEngine::submit(std::shared_ptr<const PushContent> content, Clock::time_point arrival,
                        Done done) {
  queue_.push_back(Push{std::move(content), arrival + options_.timeLimit,
                        arrival + options_.timeLimit + options_.grace, std::move(done)});
  queuedFinalAt_.insert(queue_.back().finalAt);
  lastActive_ = clock().now();
  wasBusy_ = true;
  // A ready process with a free slot gets the request at once, a turn of the loop earlier; what
  // may answer a push (a failed hand-over) waits for the pump.
  if (std::optional<std::string> failure = sendWaiting(lastActive_)) {
    failedHandOver_ = FailedHandOver{current_->channel.get(), *failure};
  }
  pumpSoon_.trigger();
}

void HostEngine::stop(std::function<void()> stopped) {
  stopping_ = true;
  stopped_ = std::move(stopped);
  pumpSoon_.trigger();
}

void HostEngine::slotFreed() {
  slotKept_ = true;
  pumpSoon_.trigger();
}

void HostEngine::stopWarmProcess() {
  retireWanted_ = true;
  pumpSoon_.trigger();
}

EngineStatus HostEngine::status() const {
  EngineStatus status;
  status.extensionStarts = starts_;
  status.pushesInFlight = pushesWaitingOrInFlight();
  status.requestsInExtension = static_cast<unsigned>(inFlight_.size());
  if (current_) {
    status.extensionPid = current_->channel->pid();
    status.peakResidentBytes = peakResidentBytes(status.extensionPid).value_or(0);
  }
  return status;
}

void HostEngine::pump() {
  discarded_.clear();
  if (failedHandOver_) {
    if (current_ && current_->channel.get() == failedHandOver_->channel) {
      discardCurrent(failedHandOver_->why);
    }
    failedHandOver_.reset();
  }
  const Clock::time_point now = clock().now();
  expireQueued(now);
  if (current_ && current_->ready) checkInFlight(now);
  if (current_ && !current_->ready && now >= current_->readyBy) {
    failStart("the extension did not report ready in time; stopping it");
  }
  fillSlots(now);
  retireWhenIdle(now);
  for (auto it = retiring_.begin(); it != retiring_.end();) {
    if (now < it->killAt) {
      ++it;
    } else if (!it->killed) {
      killRetiring(*it++, now);
    } else {
      // Stuck in the kernel: the loop reaps it whenever it ends, and nothing waits for that.
      note("extension process " + std::to_string(it->channel->pid()) +
           " has not ended since it was killed; no longer waiting for it");
      it = retiring_.erase(it);
    }
  }
  armTimers(now);
  releaseSlot();
  const bool nowBusy = busy();
  if (wasBusy_ && !nowBusy) {
    if (options_.idle) options_.idle();
    if (holdsSlot_) options_.slots->idle(*this);
  }
  wasBusy_ = nowBusy;
  finishStopping();
}

void HostEngine::expireQueued(Clock::time_point now) {
  if (queuedFinalAt_.empty() || now < *queuedFinalAt_.begin()) return;
  std::vector<Push> late;
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (now < it->finalAt) {
      ++it;
      continue;
    }
    queuedFinalAt_.erase(queuedFinalAt_.find(it->finalAt));
    late.push_back(std::move(*it));
    it = queue_.erase(it);
  }
  if (late.empty()) return;
  note(count(late.size()) + " waited past the time limit and grace for the extension; showing " +
       (late.size() == 1 ? "it" : "them") + " as received");
  for (Push& push : late) {
    std::shared_ptr<const PushContent> received = push.content;
    answer(std::move(push), Shown{received, false});
  }
}

void HostEngine::checkInFlight(Clock::time_point now) {
  for (const auto& [id, push] : inFlight_) {
    if (now >= push.finalAt) {
      return discardCurrent("the extension did not finish request " + id + " in time");
    }
  }
  for (auto& [id, push] : inFlight_) {
    if (push.expiring || now < push.expireAt) continue;
    push.expiring = true;
    // An extension that cannot even take this line runs out of its grace period all the same.
    if (!current_->channel->send(protocol::encode(protocol::TimeWillExpire{id}))) {
      return discardCurrent("the extension does not read what it is sent");
    }
  }
}

void HostEngine::fillSlots(Clock::time_point now) {
  if (queue_.empty()) return;
  if (!current_) {
    startProcess(now);
    return;
  }
  if (std::optional<std::string> failure = sendWaiting(now)) discardCurrent(*failure);
}

std::optional<std::string> HostEngine::sendWaiting(Clock::time_point now) {
  if (!current_ || !current_->ready) return std::nullopt;
  while (!queue_.empty() && inFlight_.size() < options_.parallel) {
    Push push = std::move(queue_.front());
    queue_.pop_front();
    queuedFinalAt_.erase(queuedFinalAt_.find(push.finalAt));
    const std::string id = std::to_string(++nextId_);
    const bool late = now >= push.expireAt;
    push.expiring = late;
    const std::string request = protocol::encode(protocol::Request{id, push.content});
    inFlight_.emplace(id, std::move(push));
    // A push that waited past its time limit is told at once that its time will expire.
    if (!current_->channel->send(request) ||
        (late && !current_->channel->send(protocol::encode(protocol::TimeWillExpire{id})))) {
      return "could not hand request " + id + " to the extension";
    }
  }
  return std::nullopt;
}

void HostEngine::startProcess(Clock::time_point now) {
  if (startFailed_ && !options_.retryFailedStart) return answerQueuedAsReceived();
  // A slot stands for one process: while the one this engine retires is still alive (closing, or
  // killed and not yet reaped) the next waits, so that the bound holds at every moment.
  // retired() pumps again once it has gone.
  if (options_.slots != nullptr && !retiring_.empty()) return;
  if (options_.slots != nullptr && !holdsSlot_) {
    if (!options_.slots->acquire(*this)) return;  // slotFreed() comes once one is kept for it
    holdsSlot_ = true;
    slotKept_ = false;
  }
  ExtensionChannel::Handlers handlers;
  handlers.admit = [this] { return withinMemoryLimit(); };
  handlers.line = [this](std::string_view line) { dispatch(line); };
  handlers.oversized = [this] { note("ignoring an over-long line from the extension"); };
  handlers.ended = [this](const std::string& how) { processEnded(how); };
  auto started = ExtensionChannel::start(loop_, options_.launch, std::move(handlers));
  if (!started) {
    startFailed_ = true;
    note(started.error() + (options_.retryFailedStart
                                ? "; showing the pushes waiting for it as received"
                                : "; showing every notification from here on as received"));
    return answerQueuedAsReceived();
  }
  ++starts_;
  // Requests go out only after "ready": until then there is no principal object to receive them.
  // Starting gets the grace period on top, so that even a time limit of 0 leaves room to start.
  const pid_t pid = (*started)->pid();
  current_ = Current{std::move(*started), false, now + options_.timeLimit + options_.grace,
                     options_.memoryLimitBytes ? std::make_unique<ResidentSize>(pid) : nullptr};
  withinMemoryLimit();
}

void HostEngine::retireWhenIdle(Clock::time_point now) {
  if (!current_ || busy()) return;
  const bool idleLongEnough =
      current_->ready && options_.idleStop && now >= lastActive_ + *options_.idleStop;
  if (!stopping_ && !idleLongEnough && !retireWanted_) return;
  retireWanted_ = false;
  std::unique_ptr<ExtensionChannel> channel = std::move(current_->channel);
  current_.reset();
  retire(std::move(channel), now);
}

void HostEngine::retire(std::unique_ptr<ExtensionChannel> channel, Clock::time_point now) {
  ExtensionChannel* raw = channel.get();
  ExtensionChannel::Handlers quiet;
  // Nothing it says now can be shown any more; its output is read (and dropped) so that it cannot
  // block on a full pipe on its way out.
  quiet.admit = [] { return true; };
  quiet.line = [](std::string_view) {};
  quiet.oversized = [] {};
  quiet.ended = [this, raw](const std::string&) { retired(raw); };
  channel->setHandlers(std::move(quiet));
  channel->closeInput();
  retiring_.push_back(Retiring{std::move(channel), now + options_.grace});
}

void HostEngine::killChannel(std::unique_ptr<ExtensionChannel> channel, Clock::time_point now) {
  pumpSoon_.trigger();
  if (channel->reaped()) return discarded_.push_back(std::move(channel));
  retiring_.push_back(Retiring{std::move(channel), now});
  killRetiring(retiring_.back(), now);
}

void HostEngine::killRetiring(Retiring& retiring, Clock::time_point now) {
  const ExtensionChannel* raw = retiring.channel.get();
  retiring.killed = true;
  retiring.killAt = now + kReapWait;
  retiring.channel->kill([this, raw] { retired(raw); });
}

void HostEngine::retired(const ExtensionChannel* channel) {
  auto it = std::find_if(retiring_.begin(), retiring_.end(),
                         [channel](const Retiring& r) { return r.channel.get() == channel; });
  if (it == retiring_.end()) return;
  discarded_.push_back(std::move(it->channel));
  retiring_.erase(it);
  pumpSoon_.trigger();
}

void HostEngine::armTimers(Clock::time_point now) {
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point when) {
    if (!next || when < *next) next = when;
  };
  if (!queuedFinalAt_.empty()) consider(*queuedFinalAt_.begin());
  for (const auto& [id, push] : inFlight_) consider(push.expiring ? push.finalAt : push.expireAt);
  if (current_ && !current_->ready) consider(current_->readyBy);
  if (current_ && current_->ready && !busy() && options_.idleStop && !stopping_) {
    consider(lastActive_ + *options_.idleStop);
  }
  for (const Retiring& retiring : retiring_) consider(retiring.killAt);
  if (next) {
    deadline_.armAt(*next);
  } else {
    deadline_.disarm();
  }

  const bool sampling =
      options_.memoryLimitBytes && current_ && (!current_->ready || !inFlight_.empty());
  if (!sampling) {
    sampler_.disarm();
  } else if (!sampler_.armed()) {
    sampler_.armAt(now + kSampleInterval);
  }
}

void HostEngine::releaseSlot() {
  if (options_.slots == nullptr || (!holdsSlot_ && !slotKept_)) return;
  if (current_ || !retiring_.empty()) return;
  holdsSlot_ = false;
  slotKept_ = false;
  retireWanted_ = false;
  options_.slots->release(*this);
}

void HostEngine::finishStopping() {
  if (!stopping_ || busy() || current_ || !retiring_.empty() || !stopped_) return;
  std::function<void()> stopped = std::move(stopped_);
  stopped_ = nullptr;
  stopped();
}

}  // namespace quenlarch::notification_host
