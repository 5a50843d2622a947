// Host engine: what the extension's lines mean for the pushes in flight, and how pushes are
// answered when the process fails (memory, exit, a start that never became ready).
#include <nlohmann/json.hpp>
#include <variant>

#include "platform/linux/host_protocol.h"
#include "platform/linux/line_reader.h"
#include "platform/outcome_log.h"
#include "tools/notification_host/engine/host_engine.h"

namespace quenlarch::notification_host {
namespace {

namespace protocol = host_protocol;

}  // namespace

void HostEngine::dispatch(std::string_view line) {
  pumpSoon_.trigger();
  // A NUL byte would end the JSON parser's input early and let what follows it pass unread.
  protocol::Message message = line.find('\0') != std::string_view::npos
                                  ? protocol::Message(protocol::Error{"not JSON"})
                                  : protocol::decode(line);
  if (!current_->ready) {
    if (std::holds_alternative<protocol::Ready>(message)) {
      current_->ready = true;
    } else if (!blankLine(line)) {
      note("ignoring a line from the extension before it was ready");
    }
    return;
  }
  if (const auto* deliver = std::get_if<protocol::Deliver>(&message)) {
    std::optional<Push> push = takeInFlight(deliver->id, "deliver for");
    if (!push) return;
    return answer(std::move(*push), Shown{deliver->content, true, deliver->log});
  }
  if (const auto* released = std::get_if<protocol::Released>(&message)) {
    std::optional<Push> push = takeInFlight(released->id, "release of");
    if (!push) return;
    std::shared_ptr<const PushContent> received = push->content;
    return answer(std::move(*push), Shown{received, false, released->log});
  }
  if (const auto* error = std::get_if<protocol::Error>(&message)) {
    if (blankLine(line)) return;  // nothing said
    // decode() answers both the extension's own error reports and lines it cannot make sense of
    // with an Error; the note says which one it was.
    nlohmann::json json = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    auto type = json.is_object() ? json.find("type") : json.end();
    if (type != json.end() && *type == "error") {
      return note("the extension reports an error: " + error->message);
    }
    return note("ignoring a line from the extension that is no message (" + error->message + ")");
  }
  if (!std::holds_alternative<protocol::Ready>(message)) {
    note("ignoring a message an extension does not send");
  }
}

bool HostEngine::withinMemoryLimit() {
  if (!options_.memoryLimitBytes || !current_ || !current_->resident) return true;
  std::optional<std::uint64_t> resident = current_->resident->bytes();
  if (!resident || *resident <= *options_.memoryLimitBytes) return true;
  // As the platform does: killed at once, no serviceExtensionTimeWillExpire, and nothing it said
  // since the last sample counts.
  const std::string limit = std::to_string(*options_.memoryLimitBytes >> 20) + " MiB";
  if (!current_->ready) {
    failStart("the extension passed its memory limit of " + limit + " before it was ready");
  } else {
    discardCurrent("the extension passed its memory limit of " + limit + " and was killed");
  }
  return false;
}

std::optional<HostEngine::Push> HostEngine::takeInFlight(const std::string& id,
                                                         std::string_view what) {
  auto it = inFlight_.find(id);
  if (it == inFlight_.end()) {
    note("ignoring the extension's " + std::string(what) + " request " + id +
         ", which is not in flight");
    return std::nullopt;
  }
  Push push = std::move(it->second);
  inFlight_.erase(it);
  lastActive_ = clock().now();
  return push;
}

void HostEngine::processEnded(const std::string& how) {
  if (!current_->ready) return failStart("the extension " + how + " before it was ready");
  if (inFlight_.empty()) {
    return discardCurrent("the idle extension " + how + "; the next push starts a fresh one");
  }
  discardCurrent("the extension " + how);
}

void HostEngine::discardCurrent(const std::string& why) {
  pumpSoon_.trigger();
  if (inFlight_.empty()) {
    note(why);
  } else {
    note(why + "; showing " + count(inFlight_.size()) + " in flight as received");
  }
  killChannel(std::move(current_->channel), clock().now());
  current_.reset();
  std::map<std::string, Push> orphans = std::move(inFlight_);
  inFlight_.clear();
  for (auto& [id, push] : orphans) {
    std::shared_ptr<const PushContent> received = push.content;
    answer(std::move(push), Shown{received, false});
  }
}

void HostEngine::failStart(const std::string& why) {
  discardCurrent(why);
  answerQueuedAsReceived();
}

void HostEngine::answerQueuedAsReceived() {
  std::deque<Push> waiting = std::move(queue_);
  queue_.clear();
  queuedFinalAt_.clear();
  for (Push& push : waiting) {
    std::shared_ptr<const PushContent> received = push.content;
    answer(std::move(push), Shown{received, false});
  }
}

void HostEngine::answer(Push push, Shown shown) const {
  // A push answered after its time limit without a word on its badge: the host says why.
  if (shown.log.empty() && clock().now() >= push.expireAt) {
    shown.log.push_back({std::string(badgeNoteText(BadgeOutcome::kTimeLimitPassed)), std::nullopt});
  }
  push.done(std::move(shown));
}

}  // namespace quenlarch::notification_host
