// Delivery session: one request at a time; each waits for the answer about its own id, bounded by
// the time limit and then, after serviceExtensionTimeWillExpire, by the grace period.
#include "tools/notification_host/delivery_session.h"

#include <optional>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "platform/linux/host_protocol.h"
#include "tools/notification_host/diagnostics.h"

namespace quenlarch::notification_host {
namespace {

namespace protocol = host_protocol;

// decode() answers both the extension's own error messages and lines it cannot make sense of with
// an Error; the note says which one it was.
void noteUndecodable(std::string_view line, const protocol::Error& error) {
  if (line.find_first_not_of(" \t\r") == std::string_view::npos) return;  // blank: nothing said
  nlohmann::json json = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  auto type = json.is_object() ? json.find("type") : json.end();
  if (type != json.end() && *type == "error") {
    note("the extension reports an error: " + error.message);
  } else {
    note("ignoring a line from the extension that is no message (" + error.message + ")");
  }
}

// What a line from the extension means for request `id`: the shown content when it answers that
// request, none for anything else (noted on stderr). Answers about requests that were already
// shown end up here as "anything else", which is what keeps a late or repeated deliver from ever
// being shown a second time.
std::optional<Shown> answerFor(std::string_view line, const std::string& id,
                               const std::shared_ptr<const PushContent>& received) {
  protocol::Message message = protocol::decode(line);
  if (const auto* deliver = std::get_if<protocol::Deliver>(&message)) {
    if (deliver->id == id) return Shown{deliver->content, true};
    note("ignoring the extension's deliver for request " + deliver->id + " while waiting for " +
         id);
  } else if (const auto* released = std::get_if<protocol::Released>(&message)) {
    if (released->id == id) return Shown{received, false};
    note("ignoring the extension's release of request " + released->id + " while waiting for " +
         id);
  } else if (const auto* error = std::get_if<protocol::Error>(&message)) {
    noteUndecodable(line, *error);
  } else if (!std::holds_alternative<protocol::Ready>(message)) {
    note("ignoring a message an extension does not send");
  }
  return std::nullopt;
}

}  // namespace

DeliverySession::DeliverySession(SessionOptions options) : options_(std::move(options)) {}

DeliverySession::~DeliverySession() { finish(); }

Shown DeliverySession::deliver(const std::string& id,
                               const std::shared_ptr<const PushContent>& content) {
  const Shown asReceived{content, false};
  ExtensionProcess* process = readyProcess();
  if (process == nullptr) return asReceived;

  Clock::time_point deadline = Clock::now() + options_.timeLimit;
  if (!process->writeLine(protocol::encode(protocol::Request{id, content}), deadline)) {
    note("could not hand request " + id + " to the extension; showing it as received");
    discardProcess();
    return asReceived;
  }

  bool expiring = false;  // serviceExtensionTimeWillExpire has been sent
  while (true) {
    ExtensionProcess::ReadResult read = process->readLine(deadline);
    switch (read.status) {
      case ExtensionProcess::ReadStatus::kLine:
        if (std::optional<Shown> shown = answerFor(read.text, id, content)) return *shown;
        break;
      case ExtensionProcess::ReadStatus::kOversized:
        note("ignoring an over-long line from the extension");
        break;
      case ExtensionProcess::ReadStatus::kClosed:
        process->kill();  // it may only have closed its output; make sure it is gone
        note("the extension " + process->exitDescription() + " before answering request " + id +
             "; showing it as received");
        discardProcess();
        return asReceived;
      case ExtensionProcess::ReadStatus::kTimeout:
        break;
    }
    // Checked after every line too: an extension that keeps talking about other things runs out
    // of time all the same.
    if (Clock::now() < deadline) continue;
    if (expiring) {
      note("the extension did not finish request " + id +
           " in time; showing it as received and stopping the extension");
      discardProcess();
      return asReceived;
    }
    expiring = true;
    deadline = Clock::now() + options_.grace;
    // If it cannot even take this line, the grace period simply runs out.
    process->writeLine(protocol::encode(protocol::TimeWillExpire{}), deadline);
  }
}

void DeliverySession::finish() {
  if (!process_) return;
  process_->finish(Clock::now() + options_.grace);
  process_.reset();
}

ExtensionProcess* DeliverySession::readyProcess() {
  if (process_) return process_.get();
  if (startFailed_) return nullptr;
  std::string error;
  process_ = ExtensionProcess::start(options_.launch, &error);
  if (!process_) {
    startFailed_ = true;
    note(error + "; showing every notification from here on as received");
    return nullptr;
  }
  // Requests go out only after "ready": until then there is no principal object to receive them.
  // Starting gets the grace period on top, so that even a time limit of 0 leaves room to start.
  Clock::time_point deadline = Clock::now() + options_.timeLimit + options_.grace;
  while (true) {
    ExtensionProcess::ReadResult read = process_->readLine(deadline);
    if (read.status == ExtensionProcess::ReadStatus::kLine) {
      if (std::holds_alternative<protocol::Ready>(protocol::decode(read.text))) {
        return process_.get();
      }
      note("ignoring a line from the extension before it was ready");
    } else if (read.status == ExtensionProcess::ReadStatus::kClosed) {
      process_->kill();
      note("the extension " + process_->exitDescription() + " before it was ready");
      break;
    }
    if (Clock::now() >= deadline) {
      note("the extension did not report ready in time; stopping it");
      break;
    }
  }
  discardProcess();
  return nullptr;
}

void DeliverySession::discardProcess() {
  if (!process_) return;
  process_->kill();
  process_.reset();
}

}  // namespace quenlarch::notification_host
