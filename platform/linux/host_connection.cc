// Host connection: one reader loop, a pool for the requests, one lock around the table of requests
// in flight and one around each written line. Time-outs run on the reader's thread.
#include "platform/linux/host_connection.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/linux/file_io.h"
#include "platform/linux/host_protocol.h"
#include "platform/linux/line_reader.h"
#include "platform/linux/request_log.h"
#include "platform/mutex.h"

namespace quenlarch {
namespace {

class MessageWriter {
 public:
  explicit MessageWriter(int fd) : fd_(fd) {}
  void write(const host_protocol::Message& message) EXCLUDES(mutex_) {
    const std::string line = host_protocol::encode(message) + "\n";
    MutexLock guard(mutex_);
    // A failed write means the host is gone; there is nothing left to tell it.
    (void)writeAll(fd_, line);
  }

 private:
  const int fd_;
  Mutex mutex_;  // keeps lines whole
};

// Rides inside the handler given to the principal object. When the last copy of the handler goes
// without having been called, the host is told, so it can show the content itself. Either answer
// carries the request's log entries made until then.
class HandlerWatch {
 public:
  HandlerWatch(std::string id, MessageWriter& writer, std::shared_ptr<RequestLog> log)
      : id_(std::move(id)), writer_(writer), log_(std::move(log)) {}
  ~HandlerWatch() {
    if (!called_.exchange(true)) writer_.write(host_protocol::Released{id_, log_->take()});
  }
  HandlerWatch(const HandlerWatch&) = delete;
  HandlerWatch& operator=(const HandlerWatch&) = delete;

  void deliver(const ContentRef& content) {
    if (called_.exchange(true)) return;  // the host accepts one content per request
    writer_.write(host_protocol::Deliver{id_, asPushContent(content), log_->take()});
  }

 private:
  static std::shared_ptr<const PushContent> asPushContent(const ContentRef& content) {
    if (auto push = std::dynamic_pointer_cast<const PushContent>(content)) return push;
    return std::make_shared<const PushContent>(content->userInfo(), content->badge(), PlistValue());
  }
  const std::string id_;
  MessageWriter& writer_;
  const std::shared_ptr<RequestLog> log_;
  std::atomic<bool> called_{false};
};

class Connection {
 public:
  Connection(PrincipalClass& principalClass, int outFd, CallPool::Options calls)
      : principalClass_(principalClass), writer_(outFd), pool_(calls) {}

  void serve(int inFd);

 private:
  // A request from its arrival until its principal object returns (or, while it waits for a
  // thread, until a time-out answers it).
  struct InFlight {
    host_protocol::Request request;
    // Held here until the request starts; afterwards only the handler keeps it.
    std::shared_ptr<HandlerWatch> watch;
    // Where the entries made while the request runs go, until its answer takes them.
    std::shared_ptr<RequestLog> log;
    // Null while the request waits for a thread.
    std::shared_ptr<NotificationServiceExtension> principal;
  };

  void startRequest(host_protocol::Request request) EXCLUDES(mutex_);
  void runRequest(std::uint64_t serial) EXCLUDES(mutex_);
  void timeWillExpire(const std::optional<std::string>& id) EXCLUDES(mutex_);

  PrincipalClass& principalClass_;
  MessageWriter writer_;
  Mutex mutex_;
  // Keyed by arrival, since a host may repeat an ID.
  std::map<std::uint64_t, InFlight> inFlight_ GUARDED_BY(mutex_);
  std::uint64_t arrivals_ = 0;  // reader thread only
  CallPool pool_;  // last: joined first when the connection goes, while the rest still exists
};

void Connection::serve(int inFd) {
  LineReader reader(inFd, host_protocol::kMaxLineBytes);
  writer_.write(host_protocol::Ready{});
  while (std::optional<Line> line = reader.next()) {
    if (line->oversized) {
      writer_.write(host_protocol::Error{"line longer than the protocol allows; skipped"});
      continue;
    }
    if (line->text.empty()) continue;
    host_protocol::Message message = host_protocol::decode(line->text);
    if (auto* request = std::get_if<host_protocol::Request>(&message)) {
      startRequest(std::move(*request));
    } else if (auto* expire = std::get_if<host_protocol::TimeWillExpire>(&message)) {
      timeWillExpire(expire->id);
    } else if (auto* error = std::get_if<host_protocol::Error>(&message)) {
      writer_.write(host_protocol::Error{"cannot understand the line: " + error->message});
    } else {
      writer_.write(host_protocol::Error{"not a message the extension accepts"});
    }
  }
}

void Connection::startRequest(host_protocol::Request request) {
  const std::uint64_t serial = ++arrivals_;
  auto log = std::make_shared<RequestLog>();
  auto watch = std::make_shared<HandlerWatch>(request.id, writer_, log);
  const ContentRef received = request.content;
  {
    MutexLock guard(mutex_);
    inFlight_.emplace(serial, InFlight{std::move(request), watch, std::move(log), nullptr});
  }
  if (pool_.submit([this, serial] { runRequest(serial); })) return;
  {
    MutexLock guard(mutex_);
    inFlight_.erase(serial);
  }
  watch->deliver(received);  // no thread to prepare it on: the content goes out as it came
}

void Connection::runRequest(std::uint64_t serial) {
  std::shared_ptr<NotificationServiceExtension> principal = principalClass_.makeObject();
  NotificationRequest notification;
  std::shared_ptr<HandlerWatch> watch;
  std::shared_ptr<RequestLog> log;
  {
    MutexLock guard(mutex_);
    auto it = inFlight_.find(serial);
    if (it == inFlight_.end()) return;  // a time-out answered it while it waited
    it->second.principal = principal;
    notification = {it->second.request.id, it->second.request.content};
    watch = std::move(it->second.watch);
    log = it->second.log;
  }
  ContentHandler handler = [watch](ContentRef content) { watch->deliver(content); };
  watch.reset();  // from here on only the handler keeps the watch alive
  {
    const RequestLogScope scope(std::move(log));
    principal->didReceiveNotificationRequest(notification, std::move(handler));
  }
  MutexLock guard(mutex_);
  inFlight_.erase(serial);
}

void Connection::timeWillExpire(const std::optional<std::string>& id) {
  std::vector<std::shared_ptr<NotificationServiceExtension>> started;
  std::vector<InFlight> waiting;
  {
    MutexLock guard(mutex_);
    for (auto it = inFlight_.begin(); it != inFlight_.end();) {
      if (id && it->second.request.id != *id) {
        ++it;
      } else if (it->second.principal) {
        started.push_back(it->second.principal);
        ++it;
      } else {
        waiting.push_back(std::move(it->second));
        it = inFlight_.erase(it);
      }
    }
  }
  // Outside the lock: the objects and handlers may take locks of their own. An object made for a
  // request whose thread has not yet handed it the request finds nothing to deliver, as the
  // platform's would; the host's grace period then answers for that request.
  for (InFlight& call : waiting) call.watch->deliver(call.request.content);
  for (auto& principal : started) principal->serviceExtensionTimeWillExpire();
}

}  // namespace

int serveHostConnection(PrincipalClass& principalClass, int inFd, int outFd,
                        CallPool::Options calls) {
  Connection connection(principalClass, outFd, calls);
  connection.serve(inFd);
  return 0;
}

}  // namespace quenlarch
