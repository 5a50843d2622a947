// One client connection of the service, on the event loop: its lines are read as they arrive
// (never more than it may have unanswered at once), each answered exactly once and in order, and
// the answers written as the client takes them from a capped buffer. A client that does not read
// is dropped when that buffer is full; one that sends no complete line and has nothing pending is
// dropped after its idle time; once the service stops, each client is answered what it had sent
// and then has a bounded time to take its answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"
#include "platform/linux/line_reader.h"
#include "tools/notification_host/engine/clock.h"
#include "tools/notification_host/engine/event_loop.h"

namespace quenlarch::notification_host {

// Lines a client may have sent and not yet been answered for; reading pauses at this many.
inline constexpr std::size_t kMaxUnansweredLines = 64;
// Answers waiting for a client to read them. One answer always fits, however long; a client that
// lets more than this pile up is not reading and is dropped.
inline constexpr std::size_t kMaxBufferedAnswerBytes = 1 << 20;

class ClientConnection : public std::enable_shared_from_this<ClientConnection> {
 public:
  // Answers one line: `reply` is called exactly once with the answer line (without a newline),
  // at once or later, from the loop's thread; after the connection is gone it does nothing.
  using Reply = std::function<void(std::string answer)>;
  using Answerer = std::function<void(std::string_view line, Reply reply)>;
  // Told once when the connection has closed; it may then be let go.
  using Closed = std::function<void(ClientConnection& connection)>;

  // Takes over `fd` (a connected, non-blocking socket).
  // `clock` runs the idle and stop limits; it must outlive the connection.
  static Expected<std::shared_ptr<ClientConnection>> open(sd_event* loop, int fd,
                                                          Clock::duration idleLimit, Clock& clock,
                                                          Answerer answerer, Closed closed);
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // The service stops: lines the client has already sent are read and answered, then it is told
  // that the service is stopping and the connection closes; a client that has not taken its
  // answers by `deadline`, or within a second of the last one being ready, is dropped.
  void stop(Clock::time_point deadline);
  bool closed() const { return fd_ < 0; }
  // While paused nothing more is read (the service's output is behind); answers still go out,
  // and the idle limit waits too.
  void setPaused(bool paused);

 private:
  ClientConnection(int fd, Clock::duration idleLimit, Clock& clock, Answerer answerer,
                   Closed closed);
  Expected<void> watch(sd_event* loop);
  void ready(std::uint32_t events);
  // One read (or, when stopping, everything the socket holds now); false when the connection
  // closed meanwhile.
  bool readInput(bool drain);
  void takeLines();
  void take(const Line& line);
  void answered(std::uint64_t serial, std::string answer);
  void queueAnswers();
  void flush();
  void update();
  void timeUp();
  // Writes `message` as a last error line when the socket takes it at once, then closes.
  void hangUp(std::optional<std::string_view> message);

  int fd_;
  const Clock::duration idleLimit_;
  Clock& clock_;
  Answerer answerer_;
  Closed closed_;
  LineBuffer lines_;
  // Answers in the order of the lines, from serial firstSerial_ on; none while still pending.
  std::deque<std::optional<std::string>> answers_;
  std::uint64_t firstSerial_ = 0;
  std::string output_;  // answers written from outputSent_ on
  std::size_t outputSent_ = 0;
  bool inputEnded_ = false;
  bool taking_ = false;  // inside takeLines(): answers given at once are queued by it
  bool stopping_ = false;
  bool paused_ = false;
  Clock::time_point lastActivity_;
  std::optional<Clock::time_point> dropAt_;  // once stopping
  EventSource io_;
  EventSource timer_;
};

}  // namespace quenlarch::notification_host
