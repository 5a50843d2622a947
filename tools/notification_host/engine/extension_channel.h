// One extension process on the event loop: started with pipes on its standard input and output
// (standard error stays the host's), its output read into lines as it arrives, its input written
// from a bounded queue whenever the pipe takes more, and its exit seen at once through sd-event's
// child source (a pidfd), even while a child of its own still holds the output open; the loop
// reaps it, never a blocking wait. Handlers run on the loop's thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"
#include "platform/linux/line_reader.h"
#include "platform/linux/subprocess.h"
#include "tools/notification_host/engine/engine_types.h"
#include "tools/notification_host/engine/event_loop.h"

namespace quenlarch::notification_host {

// Input queued beyond what the pipe holds. A request is at most a few tens of KiB (a 4 KiB payload
// escaped), so this is room for dozens of them; an extension that lets more pile up is not reading.
inline constexpr std::size_t kMaxQueuedInputBytes = 1 << 20;
// Longest line taken from the extension, as its protocol allows.
inline constexpr std::size_t kMaxExtensionLineBytes = 256 * 1024;

class ExtensionChannel {
 public:
  struct Handlers {
    // Asked once for every chunk of output before its lines are handed on; false drops them (the
    // owner has stopped the channel, say because the process passed its memory limit).
    std::function<bool()> admit;
    std::function<void(std::string_view line)> line;
    std::function<void()> oversized;  // a line over the protocol's limit was skipped
    // The process is gone and every line it wrote has been handed on; `how` is its
    // exitDescription ("exited with status 0"). Called once; nothing follows it.
    std::function<void(const std::string& how)> ended;
  };

  static Expected<std::unique_ptr<ExtensionChannel>> start(sd_event* loop,
                                                           const ExtensionLaunch& launch,
                                                           Handlers handlers);
  ~ExtensionChannel();  // kills the process if it is still there; the loop reaps it
  ExtensionChannel(const ExtensionChannel&) = delete;
  ExtensionChannel& operator=(const ExtensionChannel&) = delete;

  pid_t pid() const { return process_->pid(); }
  void setHandlers(Handlers handlers) { handlers_ = std::move(handlers); }

  // Queues `line` and a newline for the process's input. False when the queue would pass
  // kMaxQueuedInputBytes or the input is closed; a process that has closed its input is killed
  // (its end is then reported through `ended`).
  bool send(std::string_view line);
  // Closes the process's input now; whatever is still queued is dropped.
  void closeInput();
  // SIGKILL; the loop reaps the process once the kernel has ended it and then calls `reaped` (if
  // any, and only while the channel lives). No handler is called afterwards.
  void kill(std::function<void()> reaped = nullptr);
  // The loop has reaped the process.
  bool reaped() const { return process_->reaped(); }

 private:
  ExtensionChannel(std::unique_ptr<Subprocess> process, Handlers handlers)
      : process_(std::move(process)),
        handlers_(std::move(handlers)),
        lines_(kMaxExtensionLineBytes) {}
  Expected<void> watch(sd_event* loop);
  enum class ReadResult { kDrained, kMore, kEnded };
  void readable();
  void writable();
  void exited(const siginfo_t& how);
  // Reads what the pipe holds now, up to `chunks` reads, and hands on the lines.
  ReadResult readChunks(int chunks);
  void handLines();
  void hand(const Line& line);
  void flushInput();
  void end();

  std::unique_ptr<Subprocess> process_;
  Handlers handlers_;
  LineBuffer lines_;
  std::string input_;  // queued, from inputSent_ on
  std::size_t inputSent_ = 0;
  bool stopped_ = false;          // killed or ended: no more handlers
  std::function<void()> reaped_;  // once killed
  EventSource output_;
  EventSource inputReady_;  // on only while input is queued
  EventSource exit_;        // sd-event's child source, which reaps the process
};

}  // namespace quenlarch::notification_host
