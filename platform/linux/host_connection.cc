// Host connection: one reader loop, one thread per callback, one lock around each written line.
#include "platform/linux/host_connection.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/host_protocol.h"
#include "platform/linux/line_reader.h"

namespace quenlarch {
namespace {

class MessageWriter {
 public:
  explicit MessageWriter(int fd) : fd_(fd) {}
  void write(const host_protocol::Message& message) {
    std::string line = host_protocol::encode(message) + "\n";
    std::lock_guard<std::mutex> guard(mutex_);
    std::size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // the host is gone; nothing left to tell it
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
  std::mutex mutex_;
};

// Rides inside the handler given to the principal object. When the last copy of the handler goes
// without having been called, the host is told, so it can show the content itself.
class HandlerWatch {
 public:
  HandlerWatch(std::string id, MessageWriter& writer) : id_(std::move(id)), writer_(writer) {}
  ~HandlerWatch() {
    if (!called_.exchange(true)) writer_.write(host_protocol::Released{id_});
  }
  void deliver(const ContentRef& content) {
    if (called_.exchange(true)) return;  // the host accepts one content per handler
    writer_.write(host_protocol::Deliver{id_, asPushContent(content)});
  }

 private:
  static std::shared_ptr<const PushContent> asPushContent(const ContentRef& content) {
    if (auto push = std::dynamic_pointer_cast<const PushContent>(content)) return push;
    return std::make_shared<const PushContent>(content->userInfo(), content->badge(), PlistValue());
  }
  std::string id_;
  MessageWriter& writer_;
  std::atomic<bool> called_{false};
};

// Threads of finished calls are joined as new ones start, so a long-lived extension holds only
// the threads still running.
class CallThreads {
 public:
  template <typename F>
  void start(F&& call) {
    reapFinished();
    auto done = std::make_shared<std::atomic<bool>>(false);
    threads_.push_back({std::thread([done, call = std::forward<F>(call)]() mutable {
                          call();
                          done->store(true);
                        }),
                        done});
  }
  void joinAll() {
    for (Entry& entry : threads_) entry.thread.join();
    threads_.clear();
  }

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void reapFinished() {
    std::erase_if(threads_, [](Entry& entry) {
      if (!entry.done->load()) return false;
      entry.thread.join();
      return true;
    });
  }
  std::vector<Entry> threads_;
};

}  // namespace

int serveHostConnection(NotificationServiceExtension& extension, int inFd, int outFd) {
  MessageWriter writer(outFd);
  LineReader reader(inFd, host_protocol::kMaxLineBytes);
  CallThreads calls;
  writer.write(host_protocol::Ready{});

  while (std::optional<Line> line = reader.next()) {
    if (line->oversized) {
      writer.write(host_protocol::Error{"line longer than the protocol allows; skipped"});
      continue;
    }
    if (line->text.empty()) continue;
    host_protocol::Message message = host_protocol::decode(line->text);
    if (auto* request = std::get_if<host_protocol::Request>(&message)) {
      auto watch = std::make_shared<HandlerWatch>(request->id, writer);
      NotificationRequest notification{request->id, request->content};
      calls.start([&extension, notification, watch]() mutable {
        ContentHandler handler = [watch](ContentRef content) { watch->deliver(content); };
        watch.reset();  // from here on only the handler keeps the watch alive
        extension.didReceiveNotificationRequest(notification, std::move(handler));
      });
    } else if (std::holds_alternative<host_protocol::TimeWillExpire>(message)) {
      calls.start([&extension] { extension.serviceExtensionTimeWillExpire(); });
    } else if (auto* error = std::get_if<host_protocol::Error>(&message)) {
      writer.write(host_protocol::Error{"cannot understand the line: " + error->message});
    } else {
      writer.write(host_protocol::Error{"not a message the extension accepts"});
    }
  }
  calls.joinAll();
  return 0;
}

}  // namespace quenlarch
