// The service's extension: one process kept warm across pushes and clients, with up to `parallel`
// requests in flight in it at once. Any thread may hand in a push and wait for what is shown; one
// driver thread owns the process, writes the requests, reads every answer and dispatches it by id,
// watches each request's own time limit and grace, and samples the process's resident memory.
//
// Each push is shown exactly once: the extension's content when it answers in time; the content
// as received when it releases the handler, runs out of time, crashes, passes the memory limit, or
// cannot be started. A process that had to be given up on is replaced on the next push; one that
// stayed idle for `idleStop` is stopped and started again when a push comes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/notification_host/delivery_session.h"
#include "tools/notification_host/extension_process.h"

namespace quenlarch::notification_host {

// The launch, time limit and grace of a deliver session, plus what only a warm extension has.
struct WarmOptions : SessionOptions {
  unsigned parallel = 1;
  std::uint64_t memoryLimitBytes = 24u << 20;
  Clock::duration idleStop = std::chrono::seconds(30);
};

struct WarmStatus {
  pid_t extensionPid = 0;  // 0: no process running
  std::uint64_t extensionStarts = 0;
  std::uint64_t peakResidentBytes = 0;  // of the running process, 0 when there is none
  unsigned pushesInFlight = 0;          // handed in and not yet answered
};

class WarmExtension {
 public:
  explicit WarmExtension(WarmOptions options);
  ~WarmExtension();  // stop()
  WarmExtension(const WarmExtension&) = delete;
  WarmExtension& operator=(const WarmExtension&) = delete;

  // Runs `content` through the extension and returns what to show. Never fails; may be called from
  // any number of threads at once.
  Shown deliver(const std::shared_ptr<const PushContent>& content);

  // Lets every push handed in so far finish (still bounded by its limits), then stops the process
  // and the driver. deliver() must not be called afterwards.
  void stop();

  bool busy() const;  // pushes handed in and not yet answered
  WarmStatus status() const;

 private:
  struct Push {
    std::string id;
    std::shared_ptr<const PushContent> content;
    Clock::time_point deadline;
    bool expiring = false;  // timeWillExpire has been sent for it
    std::promise<Shown> answer;
  };

  void drive();
  // Moves queued pushes into flight, up to the cap. REQUIRES: the lock is held.
  std::vector<std::unique_ptr<Push>> takeQueued();
  bool startProcess();  // a ready process, or false (reason noted) with none
  void send(std::unique_ptr<Push> push);
  void pump();  // one short read, memory check and deadline check
  void dispatch(std::string_view line);
  bool overMemoryLimit();
  void checkDeadlines();
  void answer(const std::string& id, Shown shown);
  // Kills the process and shows every push in flight as received.
  void discardProcess(const std::string& why);
  void retireProcess();  // closes its input and lets it exit within the grace period

  const WarmOptions options_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::unique_ptr<Push>> queue_;  // GUARDED_BY(mutex_)
  unsigned unanswered_ = 0;                  // GUARDED_BY(mutex_): queued + in flight
  bool stopping_ = false;                    // GUARDED_BY(mutex_)
  WarmStatus status_;                        // GUARDED_BY(mutex_), apart from pushesInFlight

  // Owned by the driver thread alone.
  std::unique_ptr<ExtensionProcess> process_;
  std::map<std::string, std::unique_ptr<Push>> inFlight_;
  std::uint64_t nextId_ = 0;
  Clock::time_point lastActive_;

  std::thread driver_;
};

}  // namespace quenlarch::notification_host
