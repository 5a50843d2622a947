// Delivery session: one request at a time; each waits for the answer about its own id, bounded by
// the time limit and then, after serviceExtensionTimeWillExpire, by the grace period.
#include "tools/notification_host/delivery_session.h"

#include <optional>
#include <variant>

#include "platform/linux/host_protocol.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/extension_answer.h"

namespace quenlarch::notification_host {
namespace {

namespace protocol = host_protocol;

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
