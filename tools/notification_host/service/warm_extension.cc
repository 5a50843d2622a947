// Warm extension: the driver thread is the only one that touches the process, so the process
// object needs no lock of its own; clients meet the driver only at the queue and their promise.
#include "tools/notification_host/service/warm_extension.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>
#include <variant>

#include "platform/linux/host_protocol.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/service/resident_memory.h"

namespace quenlarch::notification_host {
namespace {

namespace protocol = host_protocol;

// How long the driver waits for the extension at a time while pushes are in flight: also the
// interval at which resident memory is sampled, short enough that an allocation of a few hundred
// MiB (which takes tens of milliseconds to touch) is caught on its way past the limit.
constexpr auto kTick = std::chrono::milliseconds(1);

const tools::Console& console() {
  static const tools::Console instance("notification-host");
  return instance;
}

// serviceExtensionTimeWillExpire for one request in flight; an extension that runs one request at
// a time reads it as the plain message and ignores the id.
std::string timeWillExpireLine(const std::string& id) {
  return nlohmann::json{{"type", "timeWillExpire"}, {"id", id}}.dump();
}

}  // namespace

WarmExtension::WarmExtension(WarmOptions options)
    : options_(std::move(options)), driver_([this] { drive(); }) {}

WarmExtension::~WarmExtension() { stop(); }

Shown WarmExtension::deliver(const std::shared_ptr<const PushContent>& content) {
  auto push = std::make_unique<Push>();
  push->content = content;
  std::future<Shown> shown = push->answer.get_future();
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(push));
    ++unanswered_;
  }
  wake_.notify_one();
  return shown.get();
}

void WarmExtension::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (driver_.joinable()) driver_.join();
}

bool WarmExtension::busy() const {
  std::lock_guard lock(mutex_);
  return unanswered_ > 0;
}

WarmStatus WarmExtension::status() const {
  std::lock_guard lock(mutex_);
  WarmStatus status = status_;
  status.pushesInFlight = unanswered_;
  if (status.extensionPid != 0) {
    status.peakResidentBytes = peakResidentBytes(status.extensionPid).value_or(0);
  }
  return status;
}

void WarmExtension::drive() {
  lastActive_ = Clock::now();
  while (true) {
    std::vector<std::unique_ptr<Push>> fresh;
    {
      std::unique_lock lock(mutex_);
      if (inFlight_.empty()) {
        auto hasWork = [this] { return !queue_.empty() || stopping_; };
        if (process_ && !wake_.wait_until(lock, lastActive_ + options_.idleStop, hasWork)) {
          lock.unlock();
          retireProcess();
          continue;
        }
        wake_.wait(lock, hasWork);
        if (queue_.empty()) break;  // stopping, and every push has been answered
      }
      fresh = takeQueued();
    }
    if (process_ && inFlight_.empty() && !fresh.empty()) {
      // An idle process may have died since its last push; find out before handing it one.
      ExtensionProcess::ReadResult probe = process_->readLine(Clock::now());
      if (probe.status == ExtensionProcess::ReadStatus::kClosed) {
        process_->kill();
        console().note("the idle extension " + process_->exitDescription() +
                       "; starting a fresh one");
        discardProcess("");
      } else if (probe.status == ExtensionProcess::ReadStatus::kLine) {
        dispatch(probe.text);
      }
    }
    for (std::unique_ptr<Push>& push : fresh) {
      if (process_ || startProcess()) {
        send(std::move(push));
      } else {
        push->answer.set_value(Shown{push->content, false});
        std::lock_guard lock(mutex_);
        --unanswered_;
      }
    }
    if (!inFlight_.empty()) pump();
    lastActive_ = Clock::now();
  }
  retireProcess();
}

std::vector<std::unique_ptr<WarmExtension::Push>> WarmExtension::takeQueued() {
  std::vector<std::unique_ptr<Push>> taken;
  while (!queue_.empty() && inFlight_.size() + taken.size() < options_.parallel) {
    taken.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  return taken;
}

bool WarmExtension::startProcess() {
  std::string error;
  process_ = ExtensionProcess::start(options_.launch, &error);
  if (!process_) {
    console().note(error + "; showing the push as received");
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    status_.extensionPid = process_->pid();
    ++status_.extensionStarts;
  }
  // Requests go out only after "ready"; starting gets the grace period on top of the time limit.
  const Clock::time_point deadline = Clock::now() + options_.timeLimit + options_.grace;
  while (true) {
    ExtensionProcess::ReadResult read =
        process_->readLine(std::min(deadline, Clock::now() + kTick));
    // Sampled before anything it said is believed, so a fast process cannot answer its way past
    // the limit.
    if (overMemoryLimit()) {
      console().note("the extension passed its memory limit before it was ready; killed it");
      break;
    }
    if (read.status == ExtensionProcess::ReadStatus::kLine) {
      if (std::holds_alternative<protocol::Ready>(protocol::decode(read.text))) return true;
      console().note("ignoring a line from the extension before it was ready");
    } else if (read.status == ExtensionProcess::ReadStatus::kClosed) {
      process_->kill();
      console().note("the extension " + process_->exitDescription() + " before it was ready");
      break;
    }
    if (Clock::now() >= deadline) {
      console().note("the extension did not report ready in time; stopping it");
      break;
    }
  }
  discardProcess("");
  return false;
}

void WarmExtension::send(std::unique_ptr<Push> push) {
  push->id = std::to_string(++nextId_);
  push->deadline = Clock::now() + options_.timeLimit;
  const std::string line = protocol::encode(protocol::Request{push->id, push->content});
  const std::string id = push->id;
  const Clock::time_point deadline = push->deadline;
  inFlight_.emplace(id, std::move(push));
  if (!process_->writeLine(line, deadline)) {
    discardProcess("could not hand request " + id + " to the extension");
  }
}

void WarmExtension::pump() {
  Clock::time_point until = Clock::now() + kTick;
  for (const auto& [id, push] : inFlight_) until = std::min(until, push->deadline);
  ExtensionProcess::ReadResult read = process_->readLine(until);
  if (overMemoryLimit()) {
    // As the platform does: killed at once, no serviceExtensionTimeWillExpire, and nothing it
    // said since the last sample counts.
    discardProcess("the extension passed its memory limit of " +
                   std::to_string(options_.memoryLimitBytes >> 20) + " MiB and was killed");
    return;
  }
  switch (read.status) {
    case ExtensionProcess::ReadStatus::kLine:
      dispatch(read.text);
      break;
    case ExtensionProcess::ReadStatus::kOversized:
      console().note("ignoring an over-long line from the extension");
      break;
    case ExtensionProcess::ReadStatus::kClosed:
      process_->kill();  // it may only have closed its output; make sure it is gone
      discardProcess("the extension " + process_->exitDescription());
      return;
    case ExtensionProcess::ReadStatus::kTimeout:
      break;
  }
  if (process_) checkDeadlines();
}

void WarmExtension::dispatch(std::string_view line) {
  protocol::Message message = protocol::decode(line);
  if (const auto* deliver = std::get_if<protocol::Deliver>(&message)) {
    if (inFlight_.contains(deliver->id)) return answer(deliver->id, Shown{deliver->content, true});
    console().note("ignoring the extension's deliver for request " + deliver->id +
                   ", which is not in flight");
  } else if (const auto* released = std::get_if<protocol::Released>(&message)) {
    auto it = inFlight_.find(released->id);
    if (it != inFlight_.end()) return answer(released->id, Shown{it->second->content, false});
    console().note("ignoring the extension's release of request " + released->id +
                   ", which is not in flight");
  } else if (const auto* error = std::get_if<protocol::Error>(&message)) {
    if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
      console().note("the extension said something that is no answer: " + error->message);
    }
  } else if (!std::holds_alternative<protocol::Ready>(message)) {
    console().note("ignoring a message an extension does not send");
  }
}

bool WarmExtension::overMemoryLimit() {
  std::optional<std::uint64_t> resident = residentBytes(process_->pid());
  return resident && *resident > options_.memoryLimitBytes;
}

void WarmExtension::checkDeadlines() {
  const Clock::time_point now = Clock::now();
  for (auto& [id, push] : inFlight_) {
    if (now < push->deadline) continue;
    if (push->expiring) {
      discardProcess("the extension did not finish request " + id + " in time");
      return;
    }
    push->expiring = true;
    push->deadline = now + options_.grace;
    // If it cannot even take this line, the grace period simply runs out.
    process_->writeLine(timeWillExpireLine(id), push->deadline);
  }
}

void WarmExtension::answer(const std::string& id, Shown shown) {
  auto it = inFlight_.find(id);
  std::unique_ptr<Push> push = std::move(it->second);
  inFlight_.erase(it);
  push->answer.set_value(std::move(shown));
  std::lock_guard lock(mutex_);
  --unanswered_;
}

void WarmExtension::discardProcess(const std::string& why) {
  if (!why.empty()) {
    console().note(why + "; showing " + std::to_string(inFlight_.size()) +
                   " push(es) in flight as received and stopping the extension");
  }
  if (process_) process_->kill();
  process_.reset();
  while (!inFlight_.empty()) {
    std::string id = inFlight_.begin()->first;
    answer(id, Shown{inFlight_.begin()->second->content, false});
  }
  std::lock_guard lock(mutex_);
  status_.extensionPid = 0;
}

void WarmExtension::retireProcess() {
  if (!process_) return;
  process_->finish(Clock::now() + options_.grace);
  process_.reset();
  std::lock_guard lock(mutex_);
  status_.extensionPid = 0;
}

}  // namespace quenlarch::notification_host
